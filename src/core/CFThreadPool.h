#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>
#include <unordered_map>
#include <utility>

#include "core/CFJobBase.h"
#include "core/IFThreadPoolCallBack.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Semaphore.h"
#include "platform/WaitableObject.h"

// A pool of worker threads that run jobs from a queue ordered by priority (smaller first), then
// by submission order. It starts with its minimum number of threads, adds one when a job
// arrives while every thread is busy (up to the maximum), and lets an idle thread go when a job
// ends with nothing waiting and more than the minimum alive.
//
// Pools are held through shared_ptr and every worker thread keeps its pool alive, so a thread
// that outlives the 5-second stop wait never touches freed memory.
template <typename T>
class CFThreadPool : public std::enable_shared_from_this<CFThreadPool<T>> {
public:
    using Job = CFJobBase<T>;

    // Results of WaitJobContinue.
    enum ContinueResult { kContinue = 0, kJobStopped = 1, kPoolStopped = 2, kTimedOut = 3 };

    // How a worker reacts to the stop event: 0 ends the thread; 1 ignores the stop once it
    // has been reset; 2 ignores it once and returns to 0.
    enum StopMode { kStopEnd = 0, kStopIgnore = 1, kStopIgnoreOnce = 2 };

    static std::shared_ptr<CFThreadPool> Create(IFThreadPoolCallBack<T>* callback) {
        return std::shared_ptr<CFThreadPool>(new CFThreadPool(callback));
    }

    ~CFThreadPool() {
        // Threads that ended without being forgotten hold no reference any more.
        for (auto& [id, thread] : m_threads) {
            if (thread.joinable()) {
                thread.detach();
            }
        }
    }

    // Starts the minimum number of threads. False when the counts make no sense.
    bool Start(int minThreads, int maxThreads) {
        if (minThreads < 0 || maxThreads < 1 || minThreads > maxThreads) {
            return false;
        }
        m_minThreads = minThreads;
        m_maxThreads = maxThreads;
        m_stopMode = kStopEnd;
        m_stopEvent.Reset();
        m_continueEvent.Set();
        platform::CriticalSectionGuard guard(m_threadLock);
        while (static_cast<int>(m_threads.size()) < m_minThreads) {
            if (!CreateWorkerLocked()) {
                break;
            }
        }
        return true;
    }

    // Queues the job; the pool owns it from here. Returns false only for a null job.
    bool SubmitJob(std::unique_ptr<Job> job, int* outIndex = nullptr) {
        if (!job) {
            return false;
        }
        {
            platform::CriticalSectionGuard guard(m_waitingLock);
            int index = ++m_jobCounter;
            job->m_pool = this;
            job->m_jobIndex = index;
            if (outIndex) {
                *outIndex = index;
            }
            Key key{job->GetPriority(), index};
            m_waiting.emplace(key, std::move(job));
            m_jobSemaphore.Release(1);
        }
        std::this_thread::yield();
        platform::CriticalSectionGuard guard(m_threadLock);
        int threads = static_cast<int>(m_threads.size());
        if (threads == m_runningJobs.load() && threads < m_maxThreads) {
            CreateWorkerLocked();
        }
        return true;
    }

    // Asks every thread to end after its current job.
    void StopAll() { m_stopEvent.Set(); }

    // Waits up to `timeoutMs` for every thread to end; false on time-out. In both cases the
    // pool forgets its threads (those still running end by themselves).
    bool StopAndWait(uint32_t timeoutMs = 5000) {
        bool ended = m_allGoneEvent.Wait(timeoutMs);
        platform::CriticalSectionGuard guard(m_threadLock);
        for (auto& [id, thread] : m_threads) {
            if (thread.joinable()) {
                thread.detach();
            }
        }
        m_threads.clear();
        return ended;
    }

    // Stops the threads, then cancels every job still waiting (each exactly once, never run).
    void Destroy() {
        m_stopEvent.Set();
        StopAndWait(5000);
        CancelWaitingJobs();
    }

    // While paused, jobs block in ShouldContinue; Resume lets them go on.
    void Pause() { m_continueEvent.Reset(); }
    void Resume() { m_continueEvent.Set(); }
    bool IsPaused() const { return !m_continueEvent.IsSet(); }

    int WaitJobContinue(Job* job, uint32_t timeoutMs) {
        int which = platform::WaitAny({&job->m_jobEvent, &m_stopEvent, &m_continueEvent},
                                      timeoutMs);
        switch (which) {
            case 0: return kJobStopped;
            case 1: return kPoolStopped;
            case 2: return kContinue;
            default: return kTimedOut;
        }
    }

    void SetStopMode(StopMode mode) { m_stopMode = mode; }
    int GetLiveThreadCount() const { return m_liveThreads.load(); }
    int GetRunningJobCount() const { return m_runningJobs.load(); }
    int GetThreadCount() {
        platform::CriticalSectionGuard guard(m_threadLock);
        return static_cast<int>(m_threads.size());
    }
    size_t GetWaitingJobCount() {
        platform::CriticalSectionGuard guard(m_waitingLock);
        return m_waiting.size();
    }
    // Asks the running job with this index to stop; false when no such job runs.
    bool StopRunningJob(int jobIndex) {
        platform::CriticalSectionGuard guard(m_runningLock);
        auto it = m_running.find(jobIndex);
        if (it == m_running.end()) {
            return false;
        }
        it->second->RequestStop();
        return true;
    }
    platform::Event& StopEvent() { return m_stopEvent; }
    platform::Event& ContinueEvent() { return m_continueEvent; }

private:
    struct Key {
        int priority;
        int index;
        bool operator<(const Key& other) const {
            return priority != other.priority ? priority < other.priority : index < other.index;
        }
    };

    explicit CFThreadPool(IFThreadPoolCallBack<T>* callback) : m_callback(callback) {}

    // Called with m_threadLock held.
    bool CreateWorkerLocked() {
        try {
            std::thread thread(&CFThreadPool::WorkerMain, this->shared_from_this());
            auto id = thread.get_id();
            m_threads.emplace(id, std::move(thread));
            return true;
        } catch (const std::system_error&) {
            return false;  // the thread is simply missing
        }
    }

    static void WorkerMain(std::shared_ptr<CFThreadPool> self) { self->WorkerLoop(); }

    void WorkerLoop() {
        if (m_liveThreads.fetch_add(1) == 0) {
            m_allGoneEvent.Reset();
        }
        bool leaving = false;
        while (!leaving) {
            int which = platform::WaitAny({&m_stopEvent, &m_jobSemaphore, &m_leaveSemaphore});
            if (which == 0) {
                if (m_stopMode == kStopEnd) {
                    break;
                }
                if (m_stopMode == kStopIgnore) {
                    m_stopEvent.Reset();
                } else {
                    m_stopMode = kStopEnd;
                }
                continue;
            }
            if (which == 1) {
                RunOneJob();
                continue;
            }
            // Asked to leave: forget this thread's own entry. A permission can outlive the
            // surplus it was given for (another thread left first); taking it then would leave
            // fewer threads than the minimum, or none with jobs still to come.
            platform::CriticalSectionGuard guard(m_threadLock);
            if (m_leavePermits > 0) {
                --m_leavePermits;
            }
            if (static_cast<int>(m_threads.size()) <= m_minThreads) {
                continue;
            }
            auto it = m_threads.find(std::this_thread::get_id());
            if (it != m_threads.end()) {
                it->second.detach();
                m_threads.erase(it);
            }
            leaving = true;
        }
        if (m_liveThreads.fetch_sub(1) == 1) {
            m_allGoneEvent.Set();
        }
    }

    void RunOneJob() {
        std::unique_ptr<Job> job;
        {
            platform::CriticalSectionGuard guard(m_waitingLock);
            if (m_waiting.empty()) {
                return;
            }
            auto first = m_waiting.begin();
            job = std::move(first->second);
            m_waiting.erase(first);
        }
        const int index = job->m_jobIndex;
        {
            platform::CriticalSectionGuard guard(m_runningLock);
            m_running[index] = job.get();
        }
        m_runningJobs.fetch_add(1);
        if (job->Initialize()) {
            if (m_callback) {
                m_callback->OnJobBegin(index, job.get());
            }
            job->Run();
            if (m_callback) {
                m_callback->OnJobEnd(index, job.get());
            }
            job->OnFinalize();
        }
        m_runningJobs.fetch_sub(1);
        {
            platform::CriticalSectionGuard guard(m_runningLock);
            m_running.erase(index);
        }
        job.reset();

        // Nothing waits: every thread above the minimum may go. The permissions cover the
        // whole surplus, not one thread: threads that ended their jobs while others still
        // waited asked for none, and would otherwise stay idle for good.
        platform::CriticalSectionGuard waitingGuard(m_waitingLock);
        platform::CriticalSectionGuard threadGuard(m_threadLock);
        const int surplus = static_cast<int>(m_threads.size()) - m_minThreads - m_leavePermits;
        if (m_waiting.empty() && surplus > 0 && !m_stopEvent.IsSet()) {
            m_leavePermits += surplus;
            m_leaveSemaphore.Release(surplus);
        }
    }

    void CancelWaitingJobs() {
        platform::CriticalSectionGuard guard(m_waitingLock);
        while (!m_waiting.empty()) {
            m_jobSemaphore.Wait(5000);  // take back the count of this job
            auto first = m_waiting.begin();
            std::unique_ptr<Job> job = std::move(first->second);
            m_waiting.erase(first);
            if (m_callback) {
                m_callback->OnJobCancel(job->m_jobIndex, job.get());
            }
            job->OnCancelJob();
        }
    }

    IFThreadPoolCallBack<T>* m_callback;
    int m_minThreads = 0;
    int m_maxThreads = 0;
    int m_jobCounter = 0;
    std::atomic<int> m_runningJobs{0};
    std::atomic<int> m_stopMode{kStopEnd};
    std::atomic<int> m_liveThreads{0};

    std::unordered_map<std::thread::id, std::thread> m_threads;
    int m_leavePermits = 0;  // leave permissions released and not yet taken; m_threadLock
    std::map<Key, std::unique_ptr<Job>> m_waiting;
    std::unordered_map<int, Job*> m_running;
    // Lock order: waiting before thread; the running lock is taken alone.
    platform::CriticalSection m_waitingLock;
    platform::CriticalSection m_runningLock;
    platform::CriticalSection m_threadLock;

    platform::Event m_stopEvent{true, false};
    platform::Event m_allGoneEvent{true, true};
    platform::Event m_continueEvent{true, true};
    platform::Semaphore m_jobSemaphore{0, 0x7FFFFFFF};
    platform::Semaphore m_leaveSemaphore{0, 0x7FFFFFFF};
};
