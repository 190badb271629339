#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/TaskState.h"
#include "platform/CriticalSection.h"
#include "upload/CUploadParam.h"
#include "upload/UpldStatusInfo.h"

// Where the window thread, the upload pool and the running transfer of one upload task meet:
// a copy of the task's parameters, its state (TaskState) and a status text, all behind one
// lock. The transfer is the only writer of the end states 2 to 6.
class CUploaderContext {
public:
    explicit CUploaderContext(const CUploadParam& param);
    virtual ~CUploaderContext();
    CUploaderContext(const CUploaderContext&) = delete;
    CUploaderContext& operator=(const CUploaderContext&) = delete;

    // Takes the lock and applies the state change rule (see NoLockSetState).
    virtual void SetState(int32_t state, const std::string& statusText = std::string());
    virtual int32_t GetState() const;
    virtual UpldStatusInfo GetStatus() const;
    virtual void SetStopFlag(bool stop);
    virtual bool GetStopFlag() const;

    CUploadParam GetParam() const;
    int32_t GetTaskIndex() const;
    // The transfer writes back the fid and break point it reached, so that a later Start
    // resumes from there and the window can save them.
    void SetTransferPosition(int64_t fid, int64_t breakPoint);
    int32_t GetMaxConnections() const { return m_maxConnections; }

    // For a transfer that must read the state and set the end state as one step.
    platform::CriticalSection& GetLock() const { return m_lock; }

    // What a state may do next.
    static bool CanStart(int32_t state);  // 0, 3, 4
    static bool CanPause(int32_t state);  // 1
    static bool CanStop(int32_t state);   // all but 6 and 8

    // The state's name from the string table in the UI language; "Unknown status code: %d"
    // for a value that is no state.
    static std::string GetStateName(int32_t state);
    // The row text: the name, or "name: status text" when there is a text, except for a failed
    // task (3), which shows its name alone.
    static std::string GetDisplayText(int32_t state, const std::string& statusText);
    std::string GetDisplayText() const;

protected:
    // The state change, lock held: a task being destroyed (8) can only end as destroyed (6),
    // whatever its worker reports.
    void NoLockSetState(int32_t state, const std::string& statusText);

    CUploadParam m_param;
    // Written under the lock only; atomic so that the transfer's progress callback, which
    // reads them many times per chunk, does not take the lock each time.
    std::atomic<int32_t> m_state{TSE_READY};
    std::string m_statusText;
    int32_t m_maxConnections;             // copied from the options; an upload uses one connection
    std::atomic<bool> m_stopFlag{false};  // set by Stop, never cleared
    mutable platform::CriticalSection m_lock;
};
