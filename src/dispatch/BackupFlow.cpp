#include "dispatch/BackupFlow.h"

#include "autobackup/AutoBackupMonitorMgr.h"
#include "autobackup/BackupExitTime.h"
#include "autobackup/CheckDirChangeMgr.h"
#include "autobackup/CheckDirChangeThreadMgr.h"
#include "cloud/MiscToolMgr.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/WindowMessages.h"

void BackupFlow::OnBackupModFile(const int* workType) {
    if (!workType) {
        LOG(ERROR) << "CDndUiDlg::OnBackupModFile: can't get worktype";
        return;
    }
    VLOGF(1, "CDndUiDlg::OnBackupModFile - work type %d", *workType);
    switch (*workType) {
        case kBackupCheckListReady:
            CheckDirChangeMgr::GetInstance().HandleQueue();
            break;
        case kBackupFoldersChanged: {
            COptions& options = COptions::GetInstance();
            AutoBackupMonitorMgr& monitor = AutoBackupMonitorMgr::GetInstance();
            monitor.ChangeWatchedFolders(options.GetAddedPaths(), options.GetRemovedPaths());
            // During the start-up check the monitor starts at its end, with these changes.
            if (!BackupExitTime::GetInstance().IsCheckPending() && !monitor.IsStarted()) {
                monitor.start();
            }
            break;
        }
        default:
            LOGF(WARNING, "CDndUiDlg::OnBackupModFile - unknown work type %d", *workType);
            break;
    }
}

void BackupFlow::OnCheckDirExit() {
    VLOG(1) << "CDndUiDlg::OnCheckDirExit";
    CheckDirChangeThreadMgr::GetInstance().Stop();
    AutoBackupMonitorMgr::GetInstance().start();
    // What the monitor holds already (folders added during the check) goes now.
    MiscToolMgr::GetInstance().requestFolderIds();
}

void BackupFlow::OnGetFilePid() {
    VLOG(1) << "CDndUiDlg::OnGetFilePid";
    if (!m_context.IsClosing()) {
        MiscToolMgr::GetInstance().requestFolderIds();
    }
}
