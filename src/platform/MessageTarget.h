#pragma once

#include <cstdint>

#include "platform/Message.h"

namespace platform {

class MessageLoop;

// Anything that receives window messages. Attach gives it a handle on a loop; messages posted
// to the handle run HandleMessage on that loop's thread. Destroying the target detaches it, and
// messages still queued for it are freed unread.
class MessageTarget {
public:
    MessageTarget() = default;
    MessageTarget(const MessageTarget&) = delete;
    MessageTarget& operator=(const MessageTarget&) = delete;
    virtual ~MessageTarget();

    // Registers on `loop` (the current thread's loop when null). Returns the new handle.
    WindowHandle Attach(MessageLoop* loop = nullptr);
    void Detach();
    WindowHandle GetHandle() const { return m_handle; }

    // Runs on the loop thread. The return value is what SendMessage returns.
    virtual int64_t HandleMessage(Message& message) = 0;

private:
    WindowHandle m_handle = kNoWindow;
};

}  // namespace platform
