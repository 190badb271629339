#include "autobackup/CheckDirChangeMgr.h"

#include <utility>

#include "autobackup/AutoBackupMonitorMgr.h"
#include "autobackup/BackupExitTime.h"
#include "autobackup/BackupHandOver.h"
#include "autobackup/CheckDirChangeThreadMgr.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/SystemInfo.h"
#include "platform/WaitableObject.h"
#include "platform/WindowRegistry.h"

namespace fs = std::filesystem;

CheckDirChangeMgr& CheckDirChangeMgr::GetInstance() {
    static CheckDirChangeMgr* instance = new CheckDirChangeMgr();  // lives until process exit
    return *instance;
}

CheckDirChangeMgr::~CheckDirChangeMgr() { Shutdown(platform::kInfinite); }

void CheckDirChangeMgr::QueueStartupCheck(CheckDirChangeThreadMgr& pool) {
    COptions& options = COptions::GetInstance();
    // The same second as the exit counts: a file written just before it is looked at again
    // (the comparison with the server makes that cheap), never missed.
    QueueCheck(pool, options.GetBackupPaths(true), options.GetLastExitTime());
}

void CheckDirChangeMgr::QueueCheck(CheckDirChangeThreadMgr& pool,
                                   const std::vector<fs::path>& folders, int64_t sinceSec) {
    m_sinceSec = sinceSec;
    m_startedMs = platform::TickCountMs();
    BackupExitTime::GetInstance().SetCheckPending(true);
    m_pending = static_cast<int>(folders.size());
    int submitted = 0;
    for (const fs::path& folder : folders) {
        if (pool.AddJob(GetNotifyWindow(), folder, *this, m_sinceSec)) {
            ++submitted;
        } else {
            LOG(ERROR) << "CheckDirChangeMgr - the check pool does not run, not checked: "
                       << folder.string();
        }
    }
    m_pending = submitted;
    if (submitted == 0) {
        LOG(INFO) << "CheckDirChangeMgr - the start-up check is over after 0 ms: no backup folder";
        BackupExitTime::GetInstance().SetCheckPending(false);
        platform::PostMessage(GetNotifyWindow(), WM_CHECK_DIR_EXIT);
    }
}

void CheckDirChangeMgr::AppendQueue(const std::vector<fs::path>& paths) {
    platform::CriticalSectionGuard guard(m_cs);
    m_queue.insert(m_queue.end(), paths.begin(), paths.end());
}

void CheckDirChangeMgr::HandleQueue() {
    {
        platform::CriticalSectionGuard guard(m_cs);
        ++m_reports;  // counted, not a flag: two reports before the thread wakes are two
    }
    m_wake.Set();
}

void CheckDirChangeMgr::Quit() {
    SetQuit(true);
    m_wake.Set();
}

bool CheckDirChangeMgr::Shutdown(uint32_t timeoutMs) {
    Quit();
    const bool ended = WaitForExit(timeoutMs);
    Stop();
    return ended;
}

void CheckDirChangeMgr::ThreadMain() {
    m_context.SetNotifyWindow(GetNotifyWindow());
    while (!IsQuit()) {
        m_wake.Wait();
        if (IsQuit()) {
            break;
        }
        std::vector<fs::path> paths;
        int reports = 0;
        {
            platform::CriticalSectionGuard guard(m_cs);
            paths.swap(m_queue);
            reports = std::exchange(m_reports, 0);
        }
        if (reports == 0) {
            continue;
        }
        m_context.SetNotifyWindow(GetNotifyWindow());
        if (!paths.empty()) {
            BackupHandOver handOver(m_context, CloudApi::CreatePathMode::kPlainAgent);
            const BackupHandOver::Result result = handOver.HandOver(paths, m_sinceSec);
            AutoBackupMonitorMgr::GetInstance().KeepForRetry(result.unresolved, m_sinceSec);
            if (result.queued > 0) {
                platform::PostMessage(GetNotifyWindow(), WM_C2L_UPLD_REQ);
            }
        }
        if ((m_pending -= reports) <= 0) {
            m_pending = 0;
            LOGF(INFO, "CheckDirChangeMgr - the start-up check is over after %llu ms",
                 static_cast<unsigned long long>(platform::TickCountMs() - m_startedMs));
            BackupExitTime::GetInstance().SetCheckPending(false);
            platform::PostMessage(GetNotifyWindow(), WM_CHECK_DIR_EXIT);
        }
    }
}
