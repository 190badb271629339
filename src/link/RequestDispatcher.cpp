#include "link/RequestDispatcher.h"

#include <algorithm>
#include <utility>

#include "autobackup/FileBackupMgr.h"
#include "cloud/MiscToolMgr.h"
#include "core/CWriteDbMgr.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "link/ClientInterfaceMgr.h"
#include "platform/FileSystem.h"
#include "platform/Shell.h"
#include "platform/WindowRegistry.h"
#include "upload/CUpldThreadMgr.h"
#include "upload/CalcShaParam.h"
#include "upload/CalcShaResult.h"
#include "upload/CompareFileMgr.h"
#include "upload/ComputeShaMgr.h"
#include "upload/TravelDirHandler.h"
#include "upload/TravelDirMgr.h"
#include "upload/UploadQueue.h"

namespace fs = std::filesystem;

namespace {

// Simple messages to the page.
constexpr int kSimpleUploadsStarted = 7;
constexpr int kSimpleNothingToUpload = 9;
constexpr int kSimpleBatchInterrupted = 11;
constexpr int kSimpleAllEnded = 12;

// String table.
constexpr uint32_t kTextOffline = 151;
constexpr uint32_t kTextPause = 153;

constexpr int kTxPausedState = 4;

}  // namespace

RequestDispatcher::RequestDispatcher(IDispatcherView& view) : m_view(view) {}

RequestDispatcher::~RequestDispatcher() = default;

// ---------------------------------------------------------------------------------------------
// Start-up and messages

void RequestDispatcher::InitDispatcher() {
    m_view.SetWindowMode(IDispatcherView::kIdleMode);
    resumeUploads();
    // The restore deleted the rows it read: they are written back at once, and from now on
    // whenever they change.
    SaveUnfinishedUploads(true);
    SetTimer(kTimerSaveUnfinished, m_timings.saveIntervalMs);
}

bool RequestDispatcher::HandleMessage(platform::Message& message) {
    switch (message.id) {
        case platform::WM_TIMER:
            return OnTimer(static_cast<uint32_t>(message.wValue));
        case WM_C2L_UPLD_REQ:
            OnC2LUpldReq();
            return true;
        case WM_TRAVEL_BATCH:
            OnTravelDirDone(message.lValue == TravelDirHandler::kLastBatch);
            return true;
        case WM_TRAVEL_FAILED: {
            const std::string* name = message.W<std::string>();
            OnCreateDirFail(name ? *name : std::string());
            return true;
        }
        case WM_CALC_SHA_FINISH:
            OnCalcShaFinish(message.W<CalcShaResult>());
            return true;
        case WM_CMP_UPLOAD:
            OnBackupNotify();
            return true;
        case WM_CMP_LOOP_OVER:
            OnCmpLoopOver();
            return true;
        case WM_UPLD_ALL_DONE:
            OnUpldFinish();
            return true;
        case WM_UPLD_CANCEL:
            // The page's cancellation, for the transfer manager's queue.
            if (m_queue) {
                m_queue->OnUpldCancel();
            }
            return true;
        case WM_NETWORK_ERROR:
            OnNetworkError();
            return true;
        case WM_NETWORK_OK:
            OnNetworkOk();
            return true;
        case WM_GO_OFFLINE:
            OnGoOffline();
            return true;
        case WM_GO_ONLINE:
            OnGoOnline();
            return true;
        case WM_CLIENT_MSG_COME:
            OnClientMsgCome();
            return true;
        case WM_SHOW_HIDE:
            OnShowHide();
            return true;
        case WM_SHOW_TX_MANAGER:
            m_view.ShowTransferManager(COptions::GetInstance().m_txStatus == 2
                                           ? IDispatcherView::kDownloadPage
                                           : IDispatcherView::kUploadPage);
            return true;
        case WM_SHOW_BACKUP_CONFIG:
            m_view.ShowBackupSettings();
            return true;
        case WM_TX_REFRESH: {
            const int txStatus = COptions::GetInstance().m_txStatus;
            if (txStatus >= 1 && txStatus <= 3) {
                m_view.RefreshSpeedText();
            }
            return true;
        }
        case WM_OPEN_EDIT_DIR:
            OnOpenEditDir();
            return true;
        // Downloads, local edits, the clipboard and the automatic backup: their handlers
        // stand here and learn their work with those parts.
        case WM_DNLD_ALL_DONE:
            OnDnldFinish();
            return true;
        case WM_C2L_DNLD_REQ:
            OnC2LDnldReq(false);
            return true;
        case WM_BATCH_DNLD_REQ:
            OnC2LDnldReq(true);
            return true;
        case WM_BACKUP_WORK:
            OnBackupModFile(message.W<int>());
            return true;
        case WM_CHECK_DIR_EXIT:
            OnCheckDirExit();
            return true;
        case WM_LOCALEDIT_REQ:
            OnLocalEditReq();
            return true;
        case WM_LOCALEDIT_SHA:
            OnLocalEditSha();
            return true;
        case WM_LOCALEDIT_DNLD_END:
            OnLocalEditDnldFinish(message.wData != nullptr && message.lData != nullptr);
            return true;
        case WM_LOCALEDIT_NAMES:
            OnLocalEditNames();
            return true;
        case WM_CLIPBOARD_COPY:
            OnGetCpFileBegin();
            return true;
        case WM_PASTE_DETECTED:
            OnCpDnldFileBegin();
            return true;
        case WM_GET_FILE_PID:
            OnGetFilePid();
            return true;
        default:
            return false;
    }
}

bool RequestDispatcher::OnTimer(uint32_t timerId) {
    switch (timerId) {
        case kTimerGoOffline:
        case kTimerNetworkRecheck:
        case kTimerRetry:
        case kTimerSaveUnfinished:
            HandleTimer(timerId);
            return true;
        default:
            return false;
    }
}

void RequestDispatcher::HandleTimer(uint32_t timerId) {
    switch (timerId) {
        case kTimerGoOffline:
            // Errors came and then 5 s of silence: offline, and ask whether the server is back.
            KillTimer(kTimerGoOffline);
            OnGoOffline();
            MiscToolMgr::GetInstance().requestNetworkCheck();
            break;
        case kTimerNetworkRecheck:
            KillTimer(kTimerNetworkRecheck);
            MiscToolMgr::GetInstance().requestNetworkCheck();
            break;
        case kTimerRetry:
            KillTimer(kTimerRetry);
            if (WorkState() != kWsRetryWait) {
                break;
            }
            if (m_batchBusy) {
                // A new batch took over meanwhile; its end restarts the failures.
                m_retryDue = true;
                break;
            }
            RestartFailedUploads();
            break;
        case kTimerSaveUnfinished:
            SaveUnfinishedUploads(false);
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Upload requests and batches

void RequestDispatcher::OnC2LUpldReq() {
    if (IsOffline() || m_closing) {
        // Stored with the backup file list; started at the next request after going online.
        VLOG(1) << "CDndUiDlg::OnC2LUpldReq - offline, the request waits";
        return;
    }
    if (m_view.GetWindowMode() == IDispatcherView::kIdleMode && !UploadsRunning()) {
        m_view.SetWindowMode(IDispatcherView::kUploadMode);
    }
    OnSpecificDragFileInfo();
}

void RequestDispatcher::OnSpecificDragFileInfo() {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    if (IsOffline() || m_closing) {
        return;
    }
    if (m_batchBusy) {
        VLOG(1) << "CDndUiDlg::OnSpecificDragFileInfo, there are fold is handling, return";
        return;
    }
    // Requests whose paths all turn out unusable end at once; the next one is taken then.
    while (!m_batchBusy) {
        std::optional<FileBackupMgr::WorkRequest> request = list.takeNextRequest();
        VLOGF(1, "CDndUiDlg::OnSpecificDragFileInfo: size %d, now pid:%d",
              request ? static_cast<int>(request->paths.size()) : 0,
              request ? request->key.pid : int64_t{0});
        if (!request) {
            ShowIdleLook();
            return;
        }
        list.setBatchTarget(request->key.pid, request->key.share);
        // A batch counts its own files from nothing (a retry may have raised the counts), and
        // sees the server as it is now: listings cached for an earlier batch do not show what
        // that batch uploaded, and files already there would be sent again.
        list.addFileCount(0);
        list.clearServerCache();
        m_batchBusy = true;
        m_batchUploads = 0;
        m_walksInProgress = 0;

        bool queued = false;
        for (const auto& path : request->paths) {
            const platform::FileStat st = platform::StatFile(path);
            if (!st.exists) {
                VLOG(1) << "CDndUiDlg::OnSpecificDragFileInfo not exist " << path.string();
                LOG(WARNING) << "Upload request: no such file or folder: " << path.string();
                NoteUnsent(path);
                continue;
            }
            if (st.isDirectory) {
                list.addDroppedRoot(path);
                if (TravelDirMgr::GetInstance().AddJob(m_window, path)) {
                    ++m_walksInProgress;
                    queued = true;
                } else {
                    LOG(ERROR) << "Upload request: the folder walk is not running, not walked: "
                               << path.string();
                    list.removeDroppedRoot(path);
                    NoteUnsent(path);
                }
                continue;
            }
            if (st.isRegular) {
                list.addSubFile(path);
                list.addFileCount(1);
                queued = true;
                continue;
            }
            // A device, a pipe, a socket: reading it could block for ever.
            LOG(WARNING) << "Upload request: not a file or folder, skipped: " << path.string();
            NoteUnsent(path);
        }
        if (!queued) {
            VLOG(1) << "CDndUiDlg::OnSpecificDragFileInfo no file to upload exit";
            EndBatch(false);
            continue;
        }
        const int state = WorkState();
        // A batch from idle (nothing done yet, or the previous batch ended) is reported as one
        // that found nothing to upload when it finds nothing; one that started while other
        // work went on, as interrupted.
        SetWorkState(state <= kWsUploading || state == kWsIdle || state == kWsStart
                         ? kWsBatchFromIdle
                         : kWsBatchWhileBusy);
        startCalcSha();
        MaybeEndBatch();
    }
}

void RequestDispatcher::OnTravelDirDone(bool walkEnded) {
    // Every batch of paths brings one of these; only the last one of a walk ends the walk.
    if (walkEnded && m_walksInProgress > 0) {
        --m_walksInProgress;
    }
    if (FileBackupMgr::GetInstance().getSubFileCount() > 0) {
        startCalcSha();
    }
    MaybeEndBatch();
}

void RequestDispatcher::OnCreateDirFail(const std::string& folderName) {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    LOG(WARNING) << "CDndUiDlg::OnCreateDirFail - the cloud folder of " << folderName
                 << " could not be made";
    const FileBackupMgr::BatchTarget target = list.getBatchTarget();
    fs::path folder;
    const auto active = list.getActiveRequests();
    auto request = active.find(FileBackupMgr::RequestKey{target.pid, target.share});
    if (request != active.end()) {
        for (const auto& path : request->second) {
            fs::path plain = path.lexically_normal();
            if (!plain.has_filename()) {
                plain = plain.parent_path();
            }
            if (plain.filename().string() == folderName) {
                folder = path;
                break;
            }
        }
    }
    if (!folder.empty()) {
        if (m_queue) {
            m_queue->addFailedFolder(folder, target.pid, target.share);
        }
        list.removeActivePath(folder.string());
        list.removeDroppedRoot(folder);
    } else {
        LOG(WARNING) << "CDndUiDlg::OnCreateDirFail - " << folderName << " is not in the batch";
    }
    m_failedItems[0] = true;
    if (m_walksInProgress > 0) {
        --m_walksInProgress;
    }
    MaybeEndBatch();
}

void RequestDispatcher::startCalcSha() {
    VLOGF(1, "CDndUiDlg::startCalcSha: m_nowCalcCount %d\n", m_nowCalcCount);
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    while (m_nowCalcCount < kMaxHashJobs) {
        std::vector<fs::path> paths = list.takeSubFiles(static_cast<size_t>(kMaxHashJobs - m_nowCalcCount));
        if (paths.empty()) {
            break;
        }
        for (const auto& path : paths) {
            invokeToCalcSha(path);
        }
    }
}

void RequestDispatcher::invokeToCalcSha(const fs::path& path) {
    VLOG(1) << "CDndUiDlg::invokeToCalcSha:" << path.string();
    ++m_nowCalcCount;
    if (!ComputeShaMgr::GetInstance().AddJob(CalcShaParam{m_window, path})) {
        LOG(ERROR) << "CDndUiDlg::invokeToCalcSha: can't start thread";
        // The result comes all the same, without a hash: the file is accounted for as one that
        // could not be read, and the count of jobs in flight stays right.
        platform::PostMessage(m_window,
                              platform::Message(WM_CALC_SHA_FINISH,
                                                platform::MakePayload<CalcShaResult>(
                                                    CalcShaResult{path, std::string(), 0})));
    }
}

void RequestDispatcher::OnCalcShaFinish(const CalcShaResult* result) {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    if (m_nowCalcCount > 0) {
        --m_nowCalcCount;
    }
    if (!result) {
        // A job stopped before it had a hash (the pool is stopping).
        startCalcSha();
        MaybeEndBatch();
        return;
    }
    // A restored upload whose file changed goes back to the queue with its new hash, into the
    // same cloud file; it is not compared.
    if (list.addChangedFileHash(*result)) {
        if (list.getUploadListSize() > 0 && !IsOffline()) {
            StartUploads();
        }
        startCalcSha();
        MaybeEndBatch();
        return;
    }
    if (result->hash.empty()) {
        const platform::FileStat st = platform::StatFile(result->path);
        if (!(st.isRegular && st.size == 0)) {
            LOG(WARNING) << "Upload: the file could not be read: " << result->path.string();
            NoteUnsent(result->path);
        }
    }
    // The comparison skips a file without a hash itself, and counts it out of the batch.
    const FileBackupMgr::UsefulPath useful = list.getUsefulPath(result->path);
    VLOG(1) << "usefulPath" << useful.usefulPath << " prefix " << useful.prefix.string();
    list.addShaFile(CmpWaitingFile{result->path, useful.usefulPath, useful.prefix, result->hash,
                                   result->size});
    startCalcSha();
    CompareFileMgr::GetInstance().SignalWork();
}

void RequestDispatcher::OnBackupNotify() {
    if (IsOffline() || m_closing) {
        // The compared files wait in the backup file list until the process is online.
        return;
    }
    if (m_batchBusy) {
        ++m_batchUploads;
    }
    StartUploads();
}

void RequestDispatcher::StartUploads() {
    if (!m_queue) {
        return;
    }
    const bool wasRunning = UploadsRunning();
    // The queue stops taking new work when its last task ended; a user's pause all stays.
    if (m_queue->IsStopped() && m_queue->GetPauseAllStatus() != UploadQueue::kAllPaused) {
        m_queue->resume();
    }
    m_queue->upldNewFiles();
    m_uploadBatch = true;
    if (!wasRunning && UploadsRunning()) {
        m_failedItems[0] = false;
        if (!DownloadsActive()) {
            MoveTxStatus(UploadQueue::kTxUploadsActive);
            ClientInterfaceMgr::GetInstance().pushTransferNames(m_queue->GetQueuedNames(), true);
            m_view.SetWindowMode(IDispatcherView::kUploadMode);
        } else {
            MoveTxStatus(UploadQueue::kTxBothActive);
            m_view.StartIconAlternation();
        }
    }
    SetWorkState(WorkState() <= kWsBatchFromIdle ? kWsUploading : kWsTransferring);
}

void RequestDispatcher::OnCmpLoopOver() {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    VLOGF(1, "CDndUiDlg::OnCmpLoopOver, spf %d, gf %d", list.getToCompareCount(), m_batchUploads);
    if (m_walksInProgress > 0) {
        VLOG(1) << "CDndUiDlg::OnCmpLoopOver, there is fold in travel";
        return;
    }
    if (IsOffline()) {
        return;
    }
    MaybeEndBatch();
}

void RequestDispatcher::MaybeEndBatch() {
    if (!m_batchBusy || IsOffline() || m_closing) {
        return;
    }
    if (m_walksInProgress > 0 || m_nowCalcCount > 0) {
        return;
    }
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    if (list.getSubFileCount() > 0 || list.getShaFileCount() > 0 || list.getToCompareCount() > 0) {
        return;
    }
    EndBatch(true);
}

void RequestDispatcher::EndBatch(bool startNext) {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    VLOGF(1, "CDndUiDlg - batch of %d ended, %d uploads", list.getBatchTarget().pid, m_batchUploads);
    list.clearDroppedRoots();
    list.clearActiveRequests();
    m_batchBusy = false;
    m_walksInProgress = 0;
    const bool queueBusy = m_queue && (m_queue->GetUploadCount() > 0 || m_queue->HasActiveTransfers());
    const bool failures = m_queue && m_queue->HasFailedItems();

    if (m_batchUploads == 0 && !m_uploadBatch && !failures) {
        // The batch produced nothing to upload: everything was there already, or nothing
        // could be read.
        const int state = WorkState();
        const int txStatus = COptions::GetInstance().m_txStatus;
        if (!m_unsentNames.empty()) {
            ReportFailures();
        } else if (state < kWsBatchWhileBusy && (txStatus == 0 || txStatus == 1)) {
            ClientInterfaceMgr::GetInstance().sendSimpleMsg(kSimpleNothingToUpload);
        } else if (state == kWsBatchWhileBusy && txStatus == 0) {
            ClientInterfaceMgr::GetInstance().sendSimpleMsg(kSimpleBatchInterrupted);
        }
        SetWorkState(kWsIdle);
        ShowIdleLook();
    } else if (!queueBusy && list.getUploadListSize() == 0) {
        // Its uploads (or failures) have all ended already.
        m_uploadBatch = true;
        FinishUploads();
        return;  // FinishUploads takes the next request itself
    }
    m_batchUploads = 0;
    if (m_retryDue) {
        m_retryDue = false;
        RestartFailedUploads();
        return;
    }
    if (startNext) {
        StartNextRequest();
    }
}

void RequestDispatcher::StartNextRequest() {
    if (!m_batchBusy && !IsOffline() && !m_closing &&
        FileBackupMgr::GetInstance().hasPendingRequests()) {
        OnSpecificDragFileInfo();
    }
}

// ---------------------------------------------------------------------------------------------
// End of uploads, retries and reports

void RequestDispatcher::OnUpldFinish() {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    VLOGF(1, "CDndUiDlg::OnUpldFinish, travel dir %d, total num %d, upld size %d", m_walksInProgress,
          list.getRemainingCount(), m_queue ? m_queue->GetUploadCount() : 0);
    if (m_closing || IsOffline() || m_walksInProgress > 0) {
        return;
    }
    if (m_batchBusy) {
        // The batch still holds files: keep them moving.
        if (list.getUploadListSize() > 0) {
            StartUploads();
        } else if (list.getShaFileCount() > 0) {
            CompareFileMgr::GetInstance().SignalWork();
        } else if (list.getSubFileCount() > 0) {
            startCalcSha();
        }
        return;
    }
    if (m_queue && (m_queue->GetUploadCount() > 0 || m_queue->HasActiveTransfers())) {
        return;  // the queue is not empty any more
    }
    if (list.getUploadListSize() > 0) {
        StartUploads();
        return;
    }
    if (!m_uploadBatch) {
        // Nothing of ours was running: the queue only says it is empty.
        RestoreCarriedDragDirs();
        return;
    }
    FinishUploads();
}

bool RequestDispatcher::HasRetryableFailures() const {
    // The second failed list holds refusals that a retry does not mend.
    return m_queue && !m_queue->GetFailedList().empty();
}

void RequestDispatcher::FinishUploads() {
    if (m_nowCalcCount > 0) {
        return;
    }
    SetWorkState(kWsIdle);
    if (HasRetryableFailures()) {
        ++m_retryCount;
        if (m_retryCount <= kMaxRetries) {
            SetWorkState(kWsRetryWait);
            LOGF(INFO, "CDndUiDlg - %d failed uploads, retry %d in %d ms",
                 static_cast<int>(m_queue->GetFailedList().size()), m_retryCount,
                 m_retryCount * static_cast<int>(m_timings.retryStepMs));
            SetTimer(kTimerRetry, static_cast<uint32_t>(m_retryCount) * m_timings.retryStepMs);
            return;
        }
        // Retries exhausted: the failures stay listed and are reported.
        m_retryCount = 0;
        SetWorkState(kWsIdle);
    } else {
        m_retryCount = 0;
    }
    m_uploadBatch = false;
    COptions& options = COptions::GetInstance();
    ClientInterfaceMgr& link = ClientInterfaceMgr::GetInstance();
    if (DownloadsActive()) {
        MoveTxStatus(UploadQueue::kTxDownloadsActive);
        if (options.m_txStatus == kTxPausedState) {
            m_view.ShowStatusText(CMultiLanguageMgr::GetInstance().LoadString(kTextPause));
            MoveTxStatus(UploadQueue::kTxPaused);
            link.sendSimpleMsg(kSimpleAllEnded);
        }
    } else {
        MoveTxStatus(UploadQueue::kTxAllFinished);
        m_view.ZeroSpeeds();
        ShowIdleLook();
        const bool failures = (m_queue && m_queue->HasFailedItems()) || !m_unsentNames.empty();
        if (failures) {
            m_failedItems[0] = true;
            ReportFailures();
        } else {
            std::vector<std::string> finished =
                m_queue ? m_queue->takeFinishedNames() : std::vector<std::string>();
            if (m_namesFlag[0]) {
                link.pushFinishedNames(finished, true);
            } else {
                link.sendSimpleMsg(kSimpleAllEnded);
            }
        }
        m_namesFlag[0] = true;
    }
    RestoreCarriedDragDirs();
    StartNextRequest();
}

void RequestDispatcher::ReportFailures() {
    std::vector<std::string> names =
        m_queue ? m_queue->GetFailedNames(kMaxReportedFailures) : std::vector<std::string>();
    for (const auto& name : m_unsentNames) {
        if (names.size() >= kMaxReportedFailures) {
            break;
        }
        names.push_back(name);
    }
    m_unsentNames.clear();
    if (m_queue) {
        m_queue->takeFinishedNames();  // a batch with failures is reported by them alone
    }
    LOGF(WARNING, "CDndUiDlg - uploads failed, the page is told %d names",
         static_cast<int>(names.size()));
    ClientInterfaceMgr::GetInstance().pushFailedNames(names, true);
}

void RequestDispatcher::RestartFailedUploads() {
    if (!m_queue) {
        return;
    }
    VLOGF(1, "CDndUiDlg - retry %d of the failed uploads", m_retryCount);
    m_queue->resume();
    m_queue->restartFailedItems();
    m_uploadBatch = true;
    if (UploadsRunning()) {
        MoveTxStatus(UploadQueue::kTxUploadsActive);
        m_view.SetWindowMode(IDispatcherView::kUploadMode);
    }
    // Failed dropped folders came back as requests.
    StartNextRequest();
}

void RequestDispatcher::RestoreCarriedDragDirs() {
    if (!m_saver.HasCarriedDragDirs() || m_batchBusy || IsOffline() || m_closing) {
        return;
    }
    if (m_queue && (m_queue->GetUploadCount() > 0 || m_queue->HasActiveTransfers())) {
        return;
    }
    if (FileBackupMgr::GetInstance().restoreDragDirs()) {
        VLOG(1) << "CDndUiDlg - the stored dropped folders are taken up again";
        m_saver.ClearCarriedDragDirs();
        SaveUnfinishedUploads(true);
        StartNextRequest();
    }
}

// ---------------------------------------------------------------------------------------------
// Network state, offline and online

void RequestDispatcher::OnNetworkError() {
    ++m_networkErrorCount;
    m_filesAtNetworkError = FileBackupMgr::GetInstance().getRemainingCount();
    VLOGF(1, "CDndUiDlg::OnNetworkError - %d errors, %d files left", m_networkErrorCount,
          m_filesAtNetworkError);
    SetTimer(kTimerGoOffline, m_timings.networkErrorMs);
}

void RequestDispatcher::OnNetworkOk() {
    ++m_networkOkCount;
    VLOGF(1, "CDndUiDlg::OnNetworkOk - %d", m_networkOkCount);
    if (m_networkOkCount >= kNetworkOksToRecover) {
        KillTimer(kTimerNetworkRecheck);
        if (IsOffline()) {
            OnGoOnline();
        }
        m_networkErrorCount = 0;
        // Each recovery needs three good checks of its own.
        m_networkOkCount = 0;
        return;
    }
    SetTimer(kTimerNetworkRecheck, m_timings.networkRecheckMs);
}

void RequestDispatcher::OnGoOffline() {
    if (IsOffline() || m_closing) {
        return;
    }
    LOG(INFO) << "CDndUiDlg::OnGoOffline";
    m_view.CloseAuxiliaryWindows();
    SetWorkState(kWsOffline);
    m_networkOkCount = 0;
    ShowIdleLook();
    m_view.ShowStatusText(CMultiLanguageMgr::GetInstance().LoadString(kTextOffline));
    // The local edit worker and manager stop here, and the backup change checker pauses, once
    // those parts exist.

    // Everything pauses where it stands and goes on from there when the process is online:
    // running uploads end paused and are held, walks and hashes wait at their next step, the
    // comparison puts back what it has not compared.
    if (m_queue) {
        m_userPausedUploads = m_queue->GetPauseAllStatus() == UploadQueue::kAllPaused;
        m_queue->OnButtonUpPause();
    }
    ComputeShaMgr::GetInstance().Pause();
    TravelDirMgr::GetInstance().Pause();
    CompareFileMgr::GetInstance().SetPaused(true);
    MiscToolMgr::GetInstance().SetPaused(true);
    ClientInterfaceMgr::GetInstance().sendSimpleMsg(kSimpleAllEnded);
    SaveUnfinishedUploads(true);
    CWriteDbMgr::GetInstance().WriteAllBatches();
}

void RequestDispatcher::OnGoOnline() {
    if (!IsOffline() || m_closing) {
        return;
    }
    LOG(INFO) << "CDndUiDlg::OnGoOnline";
    SetWorkState(kWsIdle);
    m_networkOkCount = 0;
    ResumeWork();
}

void RequestDispatcher::OnMenuResume() { OnGoOnline(); }

void RequestDispatcher::ResumeWork() {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    m_view.SetWindowMode(IDispatcherView::kIdleMode);
    MiscToolMgr::GetInstance().SetPaused(false);
    // The local edit worker comes back here once it exists.
    ComputeShaMgr::GetInstance().Resume();
    TravelDirMgr::GetInstance().Resume();
    CompareFileMgr::GetInstance().SetPaused(false);
    CompareFileMgr::GetInstance().SignalWork();
    if (m_queue) {
        if (!m_userPausedUploads) {
            m_queue->OnButtonUpStart();
        }
        // What failed while the server was away is tried again at once.
        if (!m_queue->GetFailedList().empty()) {
            m_queue->resume();
            m_queue->restartFailedItems();
        }
        if (UploadsRunning()) {
            m_uploadBatch = true;
            MoveTxStatus(UploadQueue::kTxUploadsActive);
            m_view.SetWindowMode(IDispatcherView::kUploadMode);
        }
    }
    if (list.getUploadListSize() > 0) {
        StartUploads();
    }
    startCalcSha();
    MaybeEndBatch();
    StartNextRequest();
    if (!m_batchBusy && m_uploadBatch && m_queue && m_queue->GetUploadCount() == 0 &&
        !m_queue->HasActiveTransfers()) {
        FinishUploads();
    }
}

// ---------------------------------------------------------------------------------------------
// Resume, quit, show

void RequestDispatcher::resumeUploads() {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    // The local edit manager's edited files that wait for upload join the hashed list here
    // once it exists.
    const FileBackupMgr::RestoreSummary summary = list.restoreUndoFiles();
    if (list.restoreDragDirs()) {
        m_saver.ClearCarriedDragDirs();
    } else {
        // Left in the database until the restored uploads are done; kept in every snapshot.
        m_saver.ReadCarriedDragDirs();
    }
    VLOGF(1, "CDndUiDlg::resumeUploads - %d queued, %d hashed again, %d dropped", summary.queued,
          summary.rehash, summary.dropped);
    SetWorkState(kWsIdle);
    if (list.getSubFileCount() > 0) {
        SetWorkState(kWsRestored);
        startCalcSha();
    }
    if (list.getUploadListSize() == 0) {
        if (list.hasPendingRequests()) {
            OnSpecificDragFileInfo();
        }
        return;
    }
    if (!m_queue) {
        return;
    }
    if (COptions::GetInstance().m_lastTxStatus == kTxPausedState) {
        // Paused when the process ended: the uploads are listed, and wait for start all.
        SetWorkState(kWsRestored);
        m_queue->OnButtonUpPause();
        m_queue->upldNewFiles();
        m_uploadBatch = true;
        return;
    }
    m_queue->upldNewFiles();
    m_uploadBatch = true;
    MoveTxStatus(UploadQueue::kTxUploadsActive);
    if (UploadsRunning()) {
        m_view.SetWindowMode(IDispatcherView::kUploadMode);
    }
    SetWorkState(kWsRestored);
    ClientInterfaceMgr::GetInstance().sendSimpleMsg(kSimpleUploadsStarted);
}

void RequestDispatcher::OnClientMsgCome() {
    const int request = COptions::GetInstance().m_exitRequest.exchange(17);
    if (request != 1) {
        return;  // a second report of the same quit
    }
    LOG(INFO) << "CDndUiDlg::OnClientMsgCome - the page quit or left";
    ClientInterfaceMgr::GetInstance().SetConnected(false);
    OnClose();
    m_view.QuitMessageLoop(0);
}

void RequestDispatcher::OnShowHide() {
    const bool visible = !m_view.IsWindowVisible();
    m_view.SetWindowVisible(visible);
    COptions::GetInstance().SetFloatWndShow(visible);
}

void RequestDispatcher::OnClose() {
    if (m_closing) {
        return;
    }
    VLOG(1) << "CDndUiDlg::OnClose";
    COptions& options = COptions::GetInstance();
    CWriteDbMgr& writeDb = CWriteDbMgr::GetInstance();
    KillTimer(kTimerGoOffline);
    KillTimer(kTimerNetworkRecheck);
    KillTimer(kTimerRetry);
    KillTimer(kTimerSaveUnfinished);

    // 1. Out of the user's sight first.
    m_view.HideAllWindows();
    // 2. The last transfer state goes with the unfinished uploads below, in one transaction.
    // 3. The local edit helper and the local edit manager's tasks end here once they exist.
    // 4. Running uploads stop where they are; their break points stay with the tasks.
    if (m_queue && m_queue->HasActiveTransfers()) {
        m_queue->quitTasks();
    }
    m_closing = true;
    // 5. What is written from here on runs after everything still waiting.
    writeDb.SetClosing();
    // 6. Walks and hashes stop at their next step; the comparison and the server actions
    //    worker are told to quit (the entry waits for them after the loop).
    ComputeShaMgr::GetInstance().Stop();
    TravelDirMgr::GetInstance().Stop();
    CompareFileMgr::GetInstance().SetStopFlag();
    MiscToolMgr::GetInstance().SetStopFlag();
    // 7.-8. The upload pool ends its transfers (each notices its stop within a chunk) and is
    //    joined, so nothing moves any more while the unfinished uploads are stored.
    if (m_queue && m_queue->HasActiveTransfers()) {
        m_queue->quitTasks();
    }
    CUpldThreadMgr::GetInstance().Stop();
    // 9. The folder watchers and the backup change checker stop here once they exist.
    // 11., 13. Every unfinished upload and dropped folder, and the transfer state, as one
    //    snapshot that replaces what was stored.
    m_saver.Save(m_queue, true);
    if (m_queue) {
        m_queue->StopAllTasks();
    }
    // 12. The transfer manager's close command (it only hides).
    if (options.m_hMainWnd != platform::kNoWindow) {
        platform::PostMessage(options.m_hMainWnd, platform::WM_CLOSE);
    }
    // 14. The time of this exit; the backup check of the next start looks for changes since.
    options.SaveLastExitTime();
    // 15. The folder icons come off; the next start puts them back.
    options.ClearBackupFolders();
}

void RequestDispatcher::SaveUnfinishedUploads(bool force) {
    if (m_closing) {
        return;  // the close handling wrote the last snapshot
    }
    m_saver.Save(m_queue, force);
}

// ---------------------------------------------------------------------------------------------
// Places of the other parts

void RequestDispatcher::OnDnldFinish() {
    VLOGF(1, "CDndUiDlg::OnDnldFinish, total num %d, dnld size %d", 0, 0);
}

void RequestDispatcher::OnC2LDnldReq(bool withFolders) {
    // The download queue takes the requests stored by the link once it exists; until then
    // they stay with the file download manager.
    VLOGF(1, "CDndUiDlg::OnC2LDnldReq - %s, no download queue", withFolders ? "batch" : "files");
}

void RequestDispatcher::OnBackupModFile(const int* workType) {
    if (!workType) {
        LOG(ERROR) << "CDndUiDlg::OnBackupModFile: can't get worktype";
        return;
    }
    VLOGF(1, "CDndUiDlg::OnBackupModFile - work type %d, no backup checker", *workType);
}

void RequestDispatcher::OnCheckDirExit() { VLOG(1) << "CDndUiDlg::OnCheckDirExit"; }

void RequestDispatcher::OnLocalEditReq() {
    if (IsOffline()) {
        return;
    }
    VLOG(1) << "CDndUiDlg::OnLocalEditReq - no local edit manager";
}

void RequestDispatcher::OnLocalEditSha() { VLOG(1) << "CDndUiDlg::OnLocalEditSha"; }

void RequestDispatcher::OnLocalEditDnldFinish(bool haveRecords) {
    if (!haveRecords) {
        LOG(ERROR) << "CDndUiDlg::OnLocalEditDnldFinish: retInfo or pStatuInfo is null, return\n";
    }
}

void RequestDispatcher::OnLocalEditNames() { VLOG(1) << "CDndUiDlg - local edit names"; }

void RequestDispatcher::OnOpenEditDir() {
    const fs::path folder = COptions::GetInstance().GetWorkDir() / "ledir";
    std::error_code ec;
    if (fs::is_directory(folder, ec)) {
        platform::ExploreFolder(folder);
    }
}

void RequestDispatcher::OnGetCpFileBegin() { VLOG(1) << "CDndUiDlg::OnGetCpFileBegin"; }

void RequestDispatcher::OnCpDnldFileBegin() { VLOG(1) << "CDndUiDlg::OnCpDnldFileBegin"; }

void RequestDispatcher::OnGetFilePid() { VLOG(1) << "CDndUiDlg::OnGetFilePid"; }

// ---------------------------------------------------------------------------------------------
// Helpers

void RequestDispatcher::NoteUnsent(const fs::path& path) {
    fs::path plain = path.lexically_normal();
    if (!plain.has_filename()) {
        plain = plain.parent_path();
    }
    m_unsentNames.push_back(plain.filename().string());
}

void RequestDispatcher::ShowIdleLook() {
    if (!UploadsRunning() && !DownloadsActive()) {
        m_view.SetWindowMode(IDispatcherView::kIdleMode);
    }
}

void RequestDispatcher::MoveTxStatus(int column) {
    COptions& options = COptions::GetInstance();
    options.m_txStatus = UploadQueue::MoveTxStatus(options.m_txStatus, column);
}

int RequestDispatcher::WorkState() const { return COptions::GetInstance().m_workState; }

void RequestDispatcher::SetWorkState(int state) {
    const int before = COptions::GetInstance().m_workState.exchange(state);
    if (before != state) {
        VLOGF(1, "CDndUiDlg - work state %d -> %d", before, state);
    }
}

void RequestDispatcher::SetTimer(uint32_t timerId, uint32_t intervalMs) {
    if (m_window != platform::kNoWindow) {
        platform::SetTimer(m_window, timerId, intervalMs);
    }
}

void RequestDispatcher::KillTimer(uint32_t timerId) {
    if (m_window != platform::kNoWindow) {
        platform::KillTimer(m_window, timerId);
    }
}

bool RequestDispatcher::UploadsRunning() const { return m_queue && m_queue->GetRunningCount() > 0; }

bool RequestDispatcher::DownloadsActive() const {
    const int txStatus = COptions::GetInstance().m_txStatus;
    return txStatus == 2 || txStatus == 3;
}
