#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Message.h"

// One long-lived worker thread owned by a manager. Start creates the thread (nothing when one
// is still held); Stop forgets the thread without waiting: the owner first makes ThreadMain
// return (quit flag or quit command), and may wait for that with WaitForExit.
class CTaskThread {
public:
    CTaskThread();
    virtual ~CTaskThread();
    CTaskThread(const CTaskThread&) = delete;
    CTaskThread& operator=(const CTaskThread&) = delete;

    virtual void Init() {}
    virtual bool Start();
    virtual void Stop();

    // Waits until ThreadMain has returned; true when it has (or never ran).
    bool WaitForExit(uint32_t timeoutMs);
    bool IsRunning() const { return m_running.load(); }

    virtual void SetNotifyWindow(platform::WindowHandle window) { m_hNotifyWnd = window; }
    platform::WindowHandle GetNotifyWindow() const { return m_hNotifyWnd; }

    int GetTaskNumber() const { return m_taskNumber; }
    int64_t GetThreadId() const { return m_threadId.load(); }

protected:
    // The thread's loop; it returns when the quit flag (or the Part's quit command) is seen.
    virtual void ThreadMain() = 0;

    bool IsQuit() const { return m_bQuit.load(); }
    void SetQuit(bool quit) { m_bQuit = quit; }

    platform::CriticalSection m_cs;
    std::atomic<platform::WindowHandle> m_hNotifyWnd{platform::kNoWindow};

private:
    struct Run;
    static void ThreadEntry(CTaskThread* self, std::shared_ptr<Run> run);

    const int m_taskNumber;
    std::unique_ptr<std::thread> m_thread;
    std::atomic<int64_t> m_threadId{0};
    std::atomic<bool> m_bQuit{false};
    std::atomic<bool> m_running{false};
    std::shared_ptr<Run> m_run;
};
