#pragma once

#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <vector>

namespace platform {

// Time-out value meaning "wait for ever".
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Result of WaitAny when nothing was signalled in time.
inline constexpr int kWaitTimeout = -1;

class Waiter;

// Something a thread can wait for: an event or a semaphore. Signalling hands the object
// directly to the first registered waiter that still waits, the way the kernel objects the
// program was designed around behave, so an auto-reset event or one semaphore count wakes
// exactly one thread and nothing is lost between a check and a sleep.
class WaitableObject {
public:
    WaitableObject() = default;
    WaitableObject(const WaitableObject&) = delete;
    WaitableObject& operator=(const WaitableObject&) = delete;
    virtual ~WaitableObject() = default;

    // Waits for this object alone. Returns true when it was acquired, false on time-out.
    bool Wait(uint32_t timeoutMs = kInfinite);

protected:
    // Both are called with m_mutex held.
    virtual bool IsSignalledLocked() const = 0;
    virtual void ConsumeLocked() = 0;

    // Offers the object to registered waiters until it is no longer signalled.
    // Called with m_mutex held, after the state was changed.
    void WakeWaitersLocked();

    mutable std::mutex m_mutex;

private:
    friend int WaitAny(const std::vector<WaitableObject*>& objects, uint32_t timeoutMs);
    struct Registration {
        Waiter* waiter;
        int index;
    };
    std::vector<Registration> m_waiters;
};

// Waits until one of the objects is signalled, acquires it and returns its position in the
// list; kWaitTimeout when the time-out passes first. When several are signalled at the moment
// of the call, the first in the list wins.
int WaitAny(const std::vector<WaitableObject*>& objects, uint32_t timeoutMs = kInfinite);
int WaitAny(std::initializer_list<WaitableObject*> objects, uint32_t timeoutMs = kInfinite);

}  // namespace platform
