#include "platform/WaitableObject.h"

#include <algorithm>
#include <chrono>

namespace platform {

// One thread inside WaitAny. Lock order: an object's mutex, then the waiter's mutex.
class Waiter {
public:
    std::mutex mutex;
    std::condition_variable cv;
    int acquired = kWaitTimeout;  // index of the object handed to this waiter
};

void WaitableObject::WakeWaitersLocked() {
    for (auto it = m_waiters.begin(); it != m_waiters.end() && IsSignalledLocked();) {
        Waiter* waiter = it->waiter;
        bool handed = false;
        {
            std::lock_guard<std::mutex> lock(waiter->mutex);
            if (waiter->acquired == kWaitTimeout) {
                ConsumeLocked();
                waiter->acquired = it->index;
                handed = true;
            }
        }
        if (handed) {
            waiter->cv.notify_one();
            it = m_waiters.erase(it);
        } else {
            ++it;
        }
    }
}

bool WaitableObject::Wait(uint32_t timeoutMs) {
    return WaitAny({this}, timeoutMs) == 0;
}

int WaitAny(std::initializer_list<WaitableObject*> objects, uint32_t timeoutMs) {
    return WaitAny(std::vector<WaitableObject*>(objects), timeoutMs);
}

int WaitAny(const std::vector<WaitableObject*>& objects, uint32_t timeoutMs) {
    Waiter waiter;

    // First pass: take the first object that is already signalled, in list order. Objects
    // not signalled get this waiter registered, so a later signal is handed over directly.
    size_t registered = 0;
    for (size_t i = 0; i < objects.size(); ++i) {
        WaitableObject* object = objects[i];
        std::lock_guard<std::mutex> objectLock(object->m_mutex);
        std::lock_guard<std::mutex> waiterLock(waiter.mutex);
        if (waiter.acquired != kWaitTimeout) {
            break;  // an object registered earlier was handed over meanwhile
        }
        if (object->IsSignalledLocked()) {
            object->ConsumeLocked();
            waiter.acquired = static_cast<int>(i);
            break;
        }
        object->m_waiters.push_back({&waiter, static_cast<int>(i)});
        registered = i + 1;
    }

    if (registered == objects.size()) {
        std::unique_lock<std::mutex> lock(waiter.mutex);
        auto handed = [&] { return waiter.acquired != kWaitTimeout; };
        if (timeoutMs == kInfinite) {
            waiter.cv.wait(lock, handed);
        } else {
            waiter.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), handed);
        }
    }

    // Unregister from every object this waiter may still be listed with. An object that is
    // handed over between the time-out and this point still counts as acquired.
    for (size_t i = 0; i < registered; ++i) {
        WaitableObject* object = objects[i];
        std::lock_guard<std::mutex> objectLock(object->m_mutex);
        auto& list = object->m_waiters;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const WaitableObject::Registration& r) {
                                      return r.waiter == &waiter;
                                  }),
                   list.end());
    }
    std::lock_guard<std::mutex> lock(waiter.mutex);
    return waiter.acquired;
}

}  // namespace platform
