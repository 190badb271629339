#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <map>
#include <thread>
#include <utility>

#include "platform/MessageLoop.h"

// The windows' message loop is Qt's event loop. Posted envelopes travel as custom events to
// this object and are handed to WindowRegistry::Dispatch on the GUI thread; an envelope whose
// window has closed, or that is still queued when the loop goes away, is deleted unread with
// its records. Timers are Qt timers keyed by (window, fixed id) and arrive as WM_TIMER.
class QtMessageLoop final : public QObject, public platform::MessageLoop {
public:
    // Create on the GUI thread once the QApplication exists; it becomes that thread's loop.
    QtMessageLoop();
    ~QtMessageLoop() override;

    // Runs the Qt event loop until Quit; returns the exit code.
    int Run();
    // Processes events until `done` returns true or `timeoutMs` passes (tests, waits).
    bool RunUntil(const std::function<bool()>& done, uint32_t timeoutMs);

    void Enqueue(platform::Envelope envelope) override;
    bool RunsOnCurrentThread() const override;
    void SetTimer(platform::WindowHandle target, uint32_t timerId, uint32_t intervalMs) override;
    void KillTimer(platform::WindowHandle target, uint32_t timerId) override;
    void KillAllTimers(platform::WindowHandle target) override;
    // Any thread, also before Run: the request waits in the queue until the loop runs.
    void Quit(int exitCode) override;

    // Makes this the calling thread's loop again (after another loop object was made).
    void MakeCurrent() { SetCurrent(this); }

    size_t TimerCount() const { return m_qtTimers.size(); }

protected:
    bool event(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    using TimerKey = std::pair<platform::WindowHandle, uint32_t>;
    std::map<TimerKey, int> m_qtTimers;    // (window, id) -> Qt timer id
    std::map<int, TimerKey> m_timerOwners;  // Qt timer id -> (window, id)
    std::thread::id m_owner;
};
