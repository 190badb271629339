#pragma once

#include <filesystem>
#include <string>

namespace platform {

// Turns a fatal signal (SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE) or an uncaught exception into
// a text report with the faulting thread's stack, written to `reportPath` (overwritten each
// time), prints `message` to standard error and then lets the signal take its default course,
// so core dumps and the parent's view of the exit stay as without the handler.
//
// The handler runs on an alternate signal stack of the calling thread (several MiB: symbolising
// with debug information needs room), so a stack overflow of that thread is reported too.
// Call early in main, before other threads start.
void InstallCrashHandler(const std::filesystem::path& reportPath, const std::string& message);

// Replaces the text printed to standard error (once the UI language is known).
void SetCrashMessage(const std::string& message);

// Gives the calling thread an alternate signal stack of its own, so that its own stack
// overflow can be reported as well. Optional for other threads.
void PrepareThreadForCrashReports();

}  // namespace platform
