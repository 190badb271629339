#pragma once

#include "platform/WaitableObject.h"

namespace platform {

// A manual-reset event stays signalled until Reset; an auto-reset event releases exactly one
// waiter and then returns to the unsignalled state by itself.
class Event : public WaitableObject {
public:
    Event(bool manualReset, bool initiallySignalled);

    void Set();
    void Reset();
    bool IsSet() const;

protected:
    bool IsSignalledLocked() const override { return m_signalled; }
    void ConsumeLocked() override;

private:
    const bool m_manualReset;
    bool m_signalled;
};

}  // namespace platform
