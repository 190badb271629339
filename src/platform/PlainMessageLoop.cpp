#include "platform/PlainMessageLoop.h"

#include <algorithm>

#include "platform/WindowRegistry.h"

namespace platform {

PlainMessageLoop::PlainMessageLoop() : m_owner(std::this_thread::get_id()) { SetCurrent(this); }

PlainMessageLoop::~PlainMessageLoop() {
    std::deque<Envelope> leftover;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        leftover.swap(m_queue);
    }
    // Envelopes are freed here, outside the lock: a blocked sender is released.
}

int PlainMessageLoop::Run() {
    while (RunOnce(Clock::time_point::max())) {
    }
    // A quit ends one Run; the loop can be run again afterwards.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_quit = false;
    return m_exitCode;
}

bool PlainMessageLoop::RunUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline) {
            return done();
        }
        // Wake at least every 10 ms so that conditions changed by other threads are seen.
        auto slice = std::min(deadline, Clock::now() + std::chrono::milliseconds(10));
        if (!RunOnce(slice)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = false;  // a quit ends Run, not a bounded wait
            return done();
        }
    }
    return true;
}

void PlainMessageLoop::RunFor(uint32_t ms) {
    RunUntil([] { return false; }, ms);
}

size_t PlainMessageLoop::RunPending() {
    std::deque<Envelope> pending;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pending.swap(m_queue);
    }
    for (auto& envelope : pending) {
        WindowRegistry::Dispatch(envelope);
    }
    return pending.size();
}

bool PlainMessageLoop::RunOnce(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_quit) {
            return false;
        }
        if (!m_queue.empty()) {
            Envelope envelope = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            WindowRegistry::Dispatch(envelope);
            return true;
        }
        auto next = deadline;
        Timer* dueTimer = nullptr;
        for (auto& timer : m_timers) {
            if (timer.due <= next) {
                next = timer.due;
                dueTimer = &timer;
            }
        }
        auto now = Clock::now();
        if (dueTimer && dueTimer->due <= now) {
            WindowHandle target = dueTimer->target;
            uint32_t id = dueTimer->id;
            dueTimer->due = now + dueTimer->interval;
            lock.unlock();
            Envelope envelope(target, Message(WM_TIMER, id));
            WindowRegistry::Dispatch(envelope);
            return true;
        }
        if (next <= now) {
            return true;  // the caller's deadline passed
        }
        if (next == Clock::time_point::max()) {
            m_cv.wait(lock);
        } else {
            m_cv.wait_until(lock, next);
        }
    }
}

void PlainMessageLoop::Enqueue(Envelope envelope) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(envelope));
    }
    m_cv.notify_one();
}

bool PlainMessageLoop::RunsOnCurrentThread() const { return std::this_thread::get_id() == m_owner; }

void PlainMessageLoop::SetTimer(WindowHandle target, uint32_t timerId, uint32_t intervalMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto interval = std::chrono::milliseconds(intervalMs);
    for (auto& timer : m_timers) {
        if (timer.target == target && timer.id == timerId) {
            timer.interval = interval;
            timer.due = Clock::now() + interval;
            return;
        }
    }
    m_timers.push_back({target, timerId, interval, Clock::now() + interval});
}

void PlainMessageLoop::KillTimer(WindowHandle target, uint32_t timerId) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_timers, [&](const Timer& t) { return t.target == target && t.id == timerId; });
}

void PlainMessageLoop::KillAllTimers(WindowHandle target) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_timers, [&](const Timer& t) { return t.target == target; });
}

void PlainMessageLoop::Quit(int exitCode) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        m_exitCode = exitCode;
    }
    m_cv.notify_all();
}

}  // namespace platform
