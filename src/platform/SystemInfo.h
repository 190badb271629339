#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

int64_t ProcessId();
int64_t CurrentThreadId();

// Milliseconds on a monotonic clock (since boot); what tick counts and speed meters read.
uint64_t TickCountMs();

// Processor time used so far, in microseconds: by the whole process, by the calling thread.
uint64_t ProcessCpuMicros();
uint64_t ThreadCpuMicros();

// The running executable and its folder.
std::filesystem::path ExecutablePath();
std::filesystem::path ExecutableDir();

// Text of the current errno-style error number.
std::string ErrorText(int errorNumber);
int LastErrorNumber();

// An environment variable, or the fallback when unset or empty.
std::string EnvOr(const char* name, const std::string& fallback);

// The user's home folder ($HOME, else the password database).
std::filesystem::path HomeDir();

}  // namespace platform
