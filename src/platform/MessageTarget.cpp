#include "platform/MessageTarget.h"

#include "platform/MessageLoop.h"
#include "platform/WindowRegistry.h"

namespace platform {

MessageTarget::~MessageTarget() { Detach(); }

WindowHandle MessageTarget::Attach(MessageLoop* loop) {
    Detach();
    if (!loop) {
        loop = MessageLoop::Current();
    }
    if (!loop) {
        return kNoWindow;
    }
    m_handle = WindowRegistry::Register(this, loop);
    return m_handle;
}

void MessageTarget::Detach() {
    if (m_handle != kNoWindow) {
        WindowRegistry::Unregister(m_handle);
        m_handle = kNoWindow;
    }
}

}  // namespace platform
