#include "dispatch/LifecycleFlow.h"

#include "cloud/MiscToolMgr.h"
#include "core/CWriteDbMgr.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "dispatch/DownloadFlow.h"
#include "dispatch/LocalEditFlow.h"
#include "dispatch/UploadFlow.h"
#include "download/DownloadQueue.h"
#include "link/ClientInterfaceMgr.h"
#include "platform/WindowRegistry.h"
#include "upload/FileBackupMgr.h"
#include "upload/UploadQueue.h"

void LifecycleFlow::InitDispatcher() {
    m_context.View().SetWindowMode(IDispatcherView::kIdleMode);
    resumeUploads();
    // The rows the restore read are replaced by this run's snapshot at once (until it is
    // written they stay as they were), and from now on whenever they change.
    SaveUnfinishedUploads(true);
    m_downloads.resumeDownloads();
    m_localEdit.ResumePending();
    m_context.SetTimer(kTimerSaveUnfinished, m_context.Timings().saveIntervalMs);
}

bool LifecycleFlow::OnTimer(uint32_t timerId) {
    if (timerId != kTimerSaveUnfinished) {
        return false;
    }
    SaveUnfinishedUploads(false);
    m_downloads.SaveUnfinished(false);
    return true;
}

void LifecycleFlow::resumeUploads() {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    UnfinishedUploadsSaver& saver = m_context.Saver();
    const FileBackupMgr::RestoreSummary summary = list.restoreUndoFiles();
    if (list.restoreDragDirs()) {
        saver.ClearCarriedDragDirs();
    } else {
        // Left in the database until the restored uploads are done; kept in every snapshot.
        saver.ReadCarriedDragDirs();
    }
    VLOGF(1, "CDndUiDlg::resumeUploads - %d queued, %d hashed again, %d dropped", summary.queued,
          summary.rehash, summary.dropped);
    m_context.SetWorkState(WorkState::kWsIdle);
    if (list.getSubFileCount() > 0) {
        m_context.SetWorkState(WorkState::kWsRestored);
        m_uploads.startCalcSha();
    }
    if (list.getUploadListSize() == 0) {
        if (list.hasPendingRequests()) {
            m_uploads.OnSpecificDragFileInfo();
        }
        return;
    }
    const bool paused =
        TxStateFromNumber(COptions::GetInstance().m_lastTxStatus) == TxState::kPaused;
    m_uploads.StartRestoredUploads(paused);
}

void LifecycleFlow::OnClientMsgCome() {
    const int request = COptions::GetInstance().m_exitRequest.exchange(17);
    if (request != 1) {
        return;  // a second report of the same quit
    }
    LOG(INFO) << "CDndUiDlg::OnClientMsgCome - the page quit or left";
    ClientInterfaceMgr::GetInstance().SetConnected(false);
    OnClose();
    m_context.View().QuitMessageLoop(0);
}

void LifecycleFlow::OnClose() {
    if (m_context.IsClosing()) {
        return;
    }
    VLOG(1) << "CDndUiDlg::OnClose";
    COptions& options = COptions::GetInstance();
    UploadQueue* queue = m_context.Queue();
    DownloadQueue* dnldQueue = m_context.DnldQueue();
    m_context.KillTimer(kTimerGoOffline);
    m_context.KillTimer(kTimerNetworkRecheck);
    m_context.KillTimer(kTimerRetry);
    m_context.KillTimer(kTimerDnldRetry);
    m_context.KillTimer(kTimerSaveUnfinished);

    // Out of the user's sight first.
    m_context.View().HideAllWindows();
    // The local edit helper ends its work; the edits still pending are stored for the next
    // start.
    m_localEdit.StopForClose();
    // Running uploads stop where they are; their break points stay with the tasks. The last
    // transfer state goes with the unfinished uploads below, in one transaction.
    if (queue && queue->HasActiveTransfers()) {
        queue->quitTasks();
    }
    // Running downloads stop where they are; their cache files keep every byte received.
    if (dnldQueue && dnldQueue->HasActiveTransfers()) {
        dnldQueue->quitDlTasks();
    }
    m_context.SetClosing();
    // What is written from here on runs after everything still waiting.
    CWriteDbMgr::GetInstance().SetClosing();
    m_uploads.StopWorkersForClose();
    MiscToolMgr::GetInstance().SetStopFlag();
    m_uploads.StopTransfersForClose();
    m_downloads.StopTransfersForClose();
    // Every unfinished upload and dropped folder, and the transfer state, as one snapshot
    // that replaces what was stored; then every unfinished download, the same way.
    m_context.Saver().Save(queue, true);
    m_downloads.SaveUnfinished(true);
    if (queue) {
        queue->StopAllTasks();
    }
    if (dnldQueue) {
        dnldQueue->StopAllDlTasks();
    }
    // The transfer manager's close command (it only hides).
    if (options.m_hMainWnd != platform::kNoWindow) {
        platform::PostMessage(options.m_hMainWnd, platform::WM_CLOSE);
    }
    // The time of this exit; the backup check of the next start looks for changes since.
    options.SaveLastExitTime();
    // The folder icons come off; the next start puts them back.
    options.ClearBackupFolders();
}

void LifecycleFlow::SaveUnfinishedUploads(bool force) {
    if (m_context.IsClosing()) {
        return;  // the close handling wrote the last snapshot
    }
    m_context.Saver().Save(m_context.Queue(), force);
}
