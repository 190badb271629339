#include "platform/Event.h"

namespace platform {

Event::Event(bool manualReset, bool initiallySignalled)
    : m_manualReset(manualReset), m_signalled(initiallySignalled) {}

void Event::Set() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = true;
    // A manual-reset event stays set while it is handed over, so every waiter is released;
    // an auto-reset event goes to the first waiter only.
    WakeWaitersLocked();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = false;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_signalled;
}

void Event::ConsumeLocked() {
    if (!m_manualReset) {
        m_signalled = false;
    }
}

}  // namespace platform
