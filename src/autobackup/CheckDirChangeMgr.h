#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "cloud/CRequestContext.h"
#include "core/CTaskThread.h"
#include "platform/Event.h"

class CheckDirChangeThreadMgr;

// The start-up check of the backup folders: catches up with what changed while the process
// was not running. One walk job per backup folder (CheckDirChangeThreadMgr) lists what changed
// after the last clean exit; this thread hands each list over to the uploads (BackupHandOver:
// cloud folders, then the backup file list, then WM_C2L_UPLD_REQ) and, when every folder has
// been handled, posts WM_CHECK_DIR_EXIT, after which the folder monitor takes over. Paths
// whose cloud folder could not be had go to the monitor, which tries them again.
//
//     checker.Start();
//     checker.QueueStartupCheck(pool);   // later WM_BACKUP_WORK per folder, then WM_CHECK_DIR_EXIT
//     checker.HandleQueue();             // on each WM_BACKUP_WORK (kBackupCheckListReady)
class CheckDirChangeMgr : public CTaskThread {
public:
    static CheckDirChangeMgr& GetInstance();
    CheckDirChangeMgr() = default;
    ~CheckDirChangeMgr() override;

    // One walk job per backup folder of the options, for changes at or after the last exit
    // time. With no backup folder the check is over at once (WM_CHECK_DIR_EXIT all the same).
    void QueueStartupCheck(CheckDirChangeThreadMgr& pool);
    // The same for the given folders and moment.
    void QueueCheck(CheckDirChangeThreadMgr& pool, const std::vector<std::filesystem::path>& folders,
                    int64_t sinceSec);
    // A job's list (on the job's thread).
    void AppendQueue(const std::vector<std::filesystem::path>& paths);
    // One job has reported: hand its list over.
    void HandleQueue();
    // Ends the thread at its next turn (closing, another user).
    void Quit();
    bool Shutdown(uint32_t timeoutMs);

    int GetPendingCount() const { return m_pending; }

protected:
    void ThreadMain() override;

private:
    platform::Event m_wake{false, false};
    std::vector<std::filesystem::path> m_queue;  // under m_cs
    int m_reports = 0;                           // under m_cs: jobs reported, not yet handled
    std::atomic<int> m_pending{0};
    std::atomic<int64_t> m_sinceSec{0};
    std::atomic<uint64_t> m_startedMs{0};
    CRequestContext m_context;
};
