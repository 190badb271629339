#pragma once

#include <cstdint>
#include <initializer_list>

#include "platform/WaitableObject.h"

namespace platform {

// Something whose readiness the kernel reports: a socket or an event that can be waited for
// together with sockets. The condvar-based Event cannot take part in such a wait, which is why
// the link server uses PollableEvent beside its connection.
class Pollable {
public:
    Pollable() = default;
    Pollable(const Pollable&) = delete;
    Pollable& operator=(const Pollable&) = delete;
    virtual ~Pollable() = default;

protected:
    // The descriptor to watch for readability; -1 when closed.
    virtual int PollHandle() const = 0;

    friend uint32_t WaitReadable(std::initializer_list<const Pollable*> objects,
                                 uint32_t timeoutMs);
};

// Waits until at least one of the objects is readable: a connection with data, a closed or
// aborted peer, a listener with a pending connection, a set event. Null entries and closed
// objects are skipped. Returns a bit mask of the ready positions (bit i for the i-th object,
// at most 32 objects); 0 when the time-out passed first.
uint32_t WaitReadable(std::initializer_list<const Pollable*> objects,
                      uint32_t timeoutMs = kInfinite);

}  // namespace platform
