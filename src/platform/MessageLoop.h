#pragma once

#include <cstdint>
#include <memory>

#include "platform/Event.h"
#include "platform/Message.h"

namespace platform {

// What a cross-thread SendMessage waits for.
struct SyncReply {
    Event done{true, false};
    int64_t result = 0;
};

// A message on its way to a target. If it is destroyed undelivered (target gone, loop gone),
// its records are freed and a waiting sender is released with the result 0.
struct Envelope {
    WindowHandle target = kNoWindow;
    Message message;
    std::shared_ptr<SyncReply> reply;

    Envelope() = default;
    Envelope(WindowHandle t, Message m, std::shared_ptr<SyncReply> r = nullptr)
        : target(t), message(std::move(m)), reply(std::move(r)) {}
    Envelope(Envelope&&) = default;
    Envelope& operator=(Envelope&&) = default;
    ~Envelope();
};

// The message loop of one thread. The windows' loop is Qt's event loop; core code and tests
// use PlainMessageLoop. Implementations deliver envelopes by calling WindowRegistry::Dispatch
// on their own thread, and deliver timers as WM_TIMER messages whose wValue is the timer id.
class MessageLoop {
public:
    virtual ~MessageLoop();

    // Any thread.
    virtual void Enqueue(Envelope envelope) = 0;
    virtual bool RunsOnCurrentThread() const = 0;

    // Loop thread only. Setting an id that is already set replaces its interval.
    virtual void SetTimer(WindowHandle target, uint32_t timerId, uint32_t intervalMs) = 0;
    virtual void KillTimer(WindowHandle target, uint32_t timerId) = 0;
    // Forgets every timer of a target that goes away.
    virtual void KillAllTimers(WindowHandle target) = 0;

    // Ends Run with the exit code (any thread).
    virtual void Quit(int exitCode) = 0;

    // The loop that runs on the calling thread, if any.
    static MessageLoop* Current();

protected:
    static void SetCurrent(MessageLoop* loop);
};

}  // namespace platform
