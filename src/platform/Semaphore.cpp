#include "platform/Semaphore.h"

namespace platform {

Semaphore::Semaphore(int64_t initialCount, int64_t maximumCount)
    : m_count(initialCount), m_maximum(maximumCount) {}

Semaphore::ReleaseResult Semaphore::Release(int64_t count, int64_t* previousCount) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (count <= 0 || m_count + count > m_maximum) {
        return ReleaseResult::kFull;
    }
    if (previousCount) {
        *previousCount = m_count;
    }
    m_count += count;
    WakeWaitersLocked();
    return ReleaseResult::kOk;
}

int64_t Semaphore::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

}  // namespace platform
