#pragma once

#include <cstdint>

#include "platform/WaitableObject.h"

namespace platform {

// A counting semaphore with a maximum. Each successful wait takes one count.
class Semaphore : public WaitableObject {
public:
    enum class ReleaseResult {
        kOk,
        kFull,  // the release would pass the maximum; nothing was released
    };

    Semaphore(int64_t initialCount, int64_t maximumCount);

    // Adds `count` to the semaphore. previousCount, when given, receives the count before.
    ReleaseResult Release(int64_t count = 1, int64_t* previousCount = nullptr);
    int64_t Count() const;

protected:
    bool IsSignalledLocked() const override { return m_count > 0; }
    void ConsumeLocked() override { --m_count; }

private:
    int64_t m_count;
    const int64_t m_maximum;
};

}  // namespace platform
