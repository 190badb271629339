#include "support/Unprivileged.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace zorp::test {

namespace {

// Threads that were just told to end may still be on their way out (freeing their caches, with
// the allocator's lock held). A fork copies that lock held and the child then hangs in its first
// allocation, so fork only once this thread is alone.
void WaitUntilSingleThreaded() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
        if (ec || std::distance(it, std::filesystem::directory_iterator()) <= 1) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

int RunUnprivileged(const std::function<int()>& body) {
    WaitUntilSingleThreaded();
    pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        if (::geteuid() == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(255);
            }
        }
        ::_exit(body() & 0xFF);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    int code = WEXITSTATUS(status);
    return code == 255 ? -1 : code;
}

}  // namespace zorp::test
