#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace zorp::test {

// Polls `done` until it is true or `timeout` passes; returns its last value. Tests wait with
// this instead of fixed sleeps.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10),
                    std::chrono::milliseconds poll = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

}  // namespace zorp::test
