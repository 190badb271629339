#include "core/CTaskThread.h"

#include "core/Logging.h"
#include "platform/SystemInfo.h"

namespace {
std::atomic<int> g_taskNumbers{0};
}  // namespace

// Shared between the creator and the thread: the thread waits on `resume` before it runs,
// the way a thread created suspended does, and sets `exited` when ThreadMain has returned.
struct CTaskThread::Run {
    platform::Event started{true, false};
    platform::Event resume{true, false};
    platform::Event exited{true, false};
    std::atomic<int64_t> threadId{0};
};

CTaskThread::CTaskThread() : m_taskNumber(++g_taskNumbers) {}

CTaskThread::~CTaskThread() {
    // The owner made the loop end before destroying it; waiting here keeps a late thread from
    // running on a destroyed object.
    if (m_run) {
        m_run->exited.Wait();
    }
    if (m_thread && m_thread->joinable()) {
        m_thread->detach();
    }
}

bool CTaskThread::Start() {
    {
        platform::CriticalSectionGuard guard(m_cs);
        if (m_thread) {
            VLOGF(1, "Task[%02d] can't be started, because the thread handle still exist.",
                  m_taskNumber);
            return true;
        }
    }
    SetQuit(false);
    auto run = std::make_shared<Run>();
    {
        platform::CriticalSectionGuard guard(m_cs);
        m_run = run;
        m_running = true;
        m_thread = std::make_unique<std::thread>(&CTaskThread::ThreadEntry, this, run);
    }
    run->started.Wait();
    m_threadId = run->threadId.load();
    VLOGF(1, "Task[%02d] worker thread started, Thread ID=%d", m_taskNumber, m_threadId.load());
    run->resume.Set();
    return true;
}

void CTaskThread::ThreadEntry(CTaskThread* self, std::shared_ptr<Run> run) {
    run->threadId = platform::CurrentThreadId();
    run->started.Set();
    run->resume.Wait();
    self->ThreadMain();
    self->m_running = false;
    run->exited.Set();
}

void CTaskThread::Stop() {
    platform::CriticalSectionGuard guard(m_cs);
    if (m_thread) {
        if (m_thread->joinable()) {
            m_thread->detach();
        }
        m_thread.reset();
    }
}

bool CTaskThread::WaitForExit(uint32_t timeoutMs) {
    std::shared_ptr<Run> run;
    {
        platform::CriticalSectionGuard guard(m_cs);
        run = m_run;
    }
    return !run || run->exited.Wait(timeoutMs);
}
