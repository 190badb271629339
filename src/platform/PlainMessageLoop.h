#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/MessageLoop.h"

namespace platform {

// A message loop without windows: a queue of envelopes and a table of timers, run by the thread
// that created it. Core code that needs a loop, and the tests, use it.
class PlainMessageLoop : public MessageLoop {
public:
    PlainMessageLoop();  // becomes the current loop of the calling thread
    ~PlainMessageLoop() override;

    // Runs until Quit; returns the exit code.
    int Run();
    // Runs until `done` returns true or `timeoutMs` passes; returns the last value of `done`.
    bool RunUntil(const std::function<bool()>& done, uint32_t timeoutMs);
    void RunFor(uint32_t ms);
    // Handles every envelope queued at the moment of the call (not timers); returns how many.
    size_t RunPending();

    void Enqueue(Envelope envelope) override;
    bool RunsOnCurrentThread() const override;
    void SetTimer(WindowHandle target, uint32_t timerId, uint32_t intervalMs) override;
    void KillTimer(WindowHandle target, uint32_t timerId) override;
    void KillAllTimers(WindowHandle target) override;
    void Quit(int exitCode) override;

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        WindowHandle target;
        uint32_t id;
        std::chrono::milliseconds interval;
        Clock::time_point due;
    };

    // Handles one queued envelope or due timer, waiting at most until `deadline`.
    // Returns false when the loop was asked to quit.
    bool RunOnce(Clock::time_point deadline);

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Envelope> m_queue;
    std::vector<Timer> m_timers;
    bool m_quit = false;
    int m_exitCode = 0;
    std::thread::id m_owner;
};

}  // namespace platform
