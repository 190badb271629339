#pragma once

#include <functional>

namespace platform {

// Calls `onSignal` (on a thread of its own) the first time SIGINT, SIGTERM or SIGHUP arrives,
// so the program can close the way its own quit command does. Call once, early in main,
// before other threads start (they inherit the blocked signal mask).
void InstallTerminationHandler(std::function<void(int signalNumber)> onSignal);

}  // namespace platform
