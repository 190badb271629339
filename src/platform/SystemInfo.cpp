#include "platform/SystemInfo.h"

#include <pwd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {

int64_t ProcessId() { return static_cast<int64_t>(::getpid()); }

int64_t CurrentThreadId() {
    thread_local const int64_t tid = static_cast<int64_t>(::syscall(SYS_gettid));
    return tid;
}

uint64_t TickCountMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

namespace {
uint64_t CpuMicros(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}
}  // namespace

uint64_t ProcessCpuMicros() { return CpuMicros(CLOCK_PROCESS_CPUTIME_ID); }

uint64_t ThreadCpuMicros() { return CpuMicros(CLOCK_THREAD_CPUTIME_ID); }

std::filesystem::path ExecutablePath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : path;
}

std::filesystem::path ExecutableDir() { return ExecutablePath().parent_path(); }

std::string ErrorText(int errorNumber) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in the buffer.
    const char* text = ::strerror_r(errorNumber, buffer, sizeof(buffer));
    return text ? std::string(text) : std::string();
}

int LastErrorNumber() { return errno; }

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return (value && *value) ? std::string(value) : fallback;
}

std::filesystem::path HomeDir() {
    const char* home = std::getenv("HOME");
    if (home && *home) {
        return home;
    }
    if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        return pw->pw_dir;
    }
    return "/tmp";
}

}  // namespace platform
