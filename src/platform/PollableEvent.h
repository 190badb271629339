#pragma once

#include "platform/Pollable.h"

namespace platform {

// An event that WaitReadable can watch beside sockets. It does not reset itself on a wait:
// the waiter calls TryConsume after the wait reported it, which gives auto-reset behaviour
// (several Set calls before one consume count as one).
class PollableEvent : public Pollable {
public:
    PollableEvent();
    ~PollableEvent() override;

    // False when the kernel object could not be created; the event then never fires.
    bool IsValid() const { return m_fd >= 0; }

    void Set();
    // Clears the event; true when it was set.
    bool TryConsume();
    void Reset() { TryConsume(); }
    bool IsSet() const;

protected:
    int PollHandle() const override { return m_fd; }

private:
    int m_fd = -1;
};

}  // namespace platform
