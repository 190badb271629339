#pragma once

#include "cloud/ServerReply.h"

// The outcome of an action whose reply says only whether it was done (delete, lock, unlock):
// `ok` when the server accepted it; the refusal's code and text are reply.Status() and
// reply.Description().
struct ActionResult {
    ServerReply reply;
    bool ok = false;
};
