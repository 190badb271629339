#include "platform/Pollable.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace platform {

uint32_t WaitReadable(std::initializer_list<const Pollable*> objects, uint32_t timeoutMs) {
    std::vector<pollfd> fds;
    std::vector<int> positions;
    int position = 0;
    for (const Pollable* object : objects) {
        if (position >= 32) {
            break;
        }
        int fd = object ? object->PollHandle() : -1;
        if (fd >= 0) {
            fds.push_back({fd, POLLIN, 0});
            positions.push_back(position);
        }
        ++position;
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs != kInfinite) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        int n = ::poll(fds.data(), fds.size(), wait);
        if (n < 0 && errno == EINTR) {
            continue;  // a signal is no reason to stop waiting
        }
        if (n <= 0) {
            return 0;
        }
        uint32_t mask = 0;
        for (size_t i = 0; i < fds.size(); ++i) {
            // Hang-up and error count as readable: the next receive reports them.
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLRDHUP)) {
                mask |= 1u << positions[i];
            }
        }
        if (mask != 0) {
            return mask;
        }
    }
}

}  // namespace platform
