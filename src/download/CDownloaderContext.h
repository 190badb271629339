#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/TaskState.h"
#include "download/CDownloadParam.h"
#include "download/DownloadStatus.h"
#include "platform/CriticalSection.h"

// Where the window thread, the download pool and the running job of one download task meet: a
// copy of the task's parameters, its state (TaskState) and a status text, all behind one lock.
// The job is the only writer of the end states 2, 3, 4 and 6.
class CDownloaderContext {
public:
    explicit CDownloaderContext(const CDownloadParam& param);
    virtual ~CDownloaderContext();
    CDownloaderContext(const CDownloaderContext&) = delete;
    CDownloaderContext& operator=(const CDownloaderContext&) = delete;

    // Takes the lock and applies the state change rule (NoLockSetState).
    virtual void SetState(int32_t state, const std::string& statusText = std::string());
    virtual int32_t GetState() const;
    virtual DownloadStatus GetStatus() const;
    // Set by Stop: the owner has dropped the task, the job posts no end message.
    virtual void SetAbandoned(bool abandoned) { m_abandoned = abandoned; }
    virtual bool IsAbandoned() const { return m_abandoned.load(); }

    CDownloadParam GetParam() const;
    int32_t GetTaskId() const;
    // The job writes back how many bytes the cache file holds, so that the owner can show and
    // store it.
    void SetPosition(int64_t position);
    int64_t GetPosition() const;
    int32_t GetMaxConnections() const { return m_maxConnections; }

    // For a job that must read the state and set the end state as one step.
    platform::CriticalSection& GetLock() const { return m_lock; }

    // What a state may do next, from the state alone.
    static bool CanStart(int32_t state);        // 0, 3, 4
    static bool CanPause(int32_t state);        // 1
    static bool CanStop(int32_t state);         // all but 6 and 8
    static bool IsIdleAfterRun(int32_t state);  // 2, 3, 4

protected:
    // The state change, lock held: a task being destroyed (8) can only end as destroyed (6),
    // whatever its job reports; the text is replaced even when the state stays.
    void NoLockSetState(int32_t state, const std::string& statusText);

    CDownloadParam m_param;
    // Written under the lock only; atomic so that the job's progress hook, which reads it for
    // every block, does not take the lock each time.
    std::atomic<int32_t> m_state{TSE_READY};
    std::string m_statusText;
    const int32_t m_maxConnections;  // the options' split number; a download uses one
    std::atomic<bool> m_abandoned{false};
    std::atomic<int64_t> m_position{0};
    mutable platform::CriticalSection m_lock;
};
