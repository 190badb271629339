#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "core/CFThreadPool.h"
#include "platform/Message.h"

// The common shape of the pool managers: a process-wide owner of one pool that implements the
// pool's callbacks (all no-ops unless a manager needs one), starts the pool with its fixed
// thread counts, takes jobs, and knows the window its jobs report to.
template <typename T>
class CFPoolManager : public IFThreadPoolCallBack<T> {
public:
    ~CFPoolManager() override { Stop(); }

    virtual void Init() {}

    // Creates and starts the pool once; a second call finds it and does nothing.
    virtual bool Start() {
        std::lock_guard<std::mutex> lock(m_poolMutex);
        if (m_pool) {
            return true;
        }
        m_pool = CFThreadPool<T>::Create(this);
        return m_pool->Start(m_minThreads, m_maxThreads);
    }

    // Ends the threads (at most 5 s wait), cancels waiting jobs and forgets the pool.
    virtual void Stop() {
        std::shared_ptr<CFThreadPool<T>> pool;
        {
            std::lock_guard<std::mutex> lock(m_poolMutex);
            pool = std::move(m_pool);
        }
        if (!pool) {
            return;
        }
        pool->Destroy();
    }

    // False when the pool is not started.
    bool AddJob(std::unique_ptr<CFJobBase<T>> job, int* outIndex = nullptr) {
        auto pool = GetPool();
        return pool && pool->SubmitJob(std::move(job), outIndex);
    }

    std::shared_ptr<CFThreadPool<T>> GetPool() const {
        std::lock_guard<std::mutex> lock(m_poolMutex);
        return m_pool;
    }
    bool IsStarted() const { return GetPool() != nullptr; }

    void Pause() {
        if (auto pool = GetPool()) {
            pool->Pause();
        }
    }
    void Resume() {
        if (auto pool = GetPool()) {
            pool->Resume();
        }
    }
    // Jobs waiting or running.
    size_t GetJobCount() const {
        auto pool = GetPool();
        return pool ? pool->GetWaitingJobCount() + pool->GetRunningJobCount() : 0;
    }

    void SetNotifyWindow(platform::WindowHandle window) { m_hNotifyWnd = window; }
    platform::WindowHandle GetNotifyWindow() const { return m_hNotifyWnd; }

protected:
    CFPoolManager(int minThreads, int maxThreads)
        : m_minThreads(minThreads), m_maxThreads(maxThreads) {}

    const int m_minThreads;
    const int m_maxThreads;

private:
    mutable std::mutex m_poolMutex;
    std::shared_ptr<CFThreadPool<T>> m_pool;
    std::atomic<platform::WindowHandle> m_hNotifyWnd{platform::kNoWindow};
};
