#pragma once

#include <cstdint>

#include "platform/Message.h"
#include "platform/MessageLoop.h"

namespace platform {

class MessageTarget;

// Maps window handles to their targets and loops. Handles are never reused, so a message
// posted to a window that has closed finds no target and is freed.
class WindowRegistry {
public:
    static WindowHandle Register(MessageTarget* target, MessageLoop* loop);
    static void Unregister(WindowHandle handle);
    static bool IsWindow(WindowHandle handle);

    // Called by a loop on its own thread for each envelope it takes.
    static void Dispatch(Envelope& envelope);
};

// Queues the message for the window's thread. Any thread. Returns false (and frees the
// message) when the window does not exist.
bool PostMessage(WindowHandle window, Message message);
inline bool PostMessage(WindowHandle window, uint32_t id, int64_t w = 0, int64_t l = 0) {
    return PostMessage(window, Message(id, w, l));
}

// Runs the window's handler and returns its result. On the window's own thread the handler
// runs at once; from another thread the caller waits until the window's loop has run it (0 when
// the window goes away first).
int64_t SendMessage(WindowHandle window, Message message);
inline int64_t SendMessage(WindowHandle window, uint32_t id, int64_t w = 0, int64_t l = 0) {
    return SendMessage(window, Message(id, w, l));
}

// Timers by fixed id; only from the window's own thread. Each tick arrives as WM_TIMER.
bool SetTimer(WindowHandle window, uint32_t timerId, uint32_t intervalMs);
bool KillTimer(WindowHandle window, uint32_t timerId);

}  // namespace platform
