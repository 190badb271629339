#include "dispatch/UploadFlow.h"

#include "core/CommonUtils.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkProtocol.h"
#include "upload/CUpldThreadMgr.h"
#include "upload/CompareFileMgr.h"
#include "upload/ComputeShaMgr.h"
#include "upload/FileBackupMgr.h"
#include "upload/TravelDirMgr.h"
#include "upload/UploadQueue.h"

// The upload flow's second half: the end of the uploads, automatic retries, the report to the
// page, and what uploads do when the process goes offline, comes back, restores and closes.

namespace fs = std::filesystem;
using LinkProtocol::Out;

namespace {
constexpr uint32_t kTextPause = 153;  // "Pause"
}  // namespace

// ---------------------------------------------------------------------------------------------
// End of uploads, retries and reports

void UploadFlow::OnUpldFinish() {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    UploadQueue* queue = m_context.Queue();
    VLOGF(1, "CDndUiDlg::OnUpldFinish, travel dir %d, total num %d, upld size %d", m_walksInProgress,
          list.getRemainingCount(), queue ? queue->GetUploadCount() : 0);
    if (m_context.IsClosing() || m_context.IsOffline() || m_walksInProgress > 0) {
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
    if (QueueBusy()) {
        return;  // the queue is not empty any more
    }
    if (list.getUploadListSize() > 0) {
        StartUploads();
        return;
    }
    if (list.getSubFileCount() > 0 || m_nowCalcCount > 0) {
        // An upload whose file changed under it is being hashed again.
        startCalcSha();
        return;
    }
    if (!m_uploadBatch) {
        // Nothing of ours was running: the queue only says it is empty.
        RestoreCarriedDragDirs();
        return;
    }
    FinishUploads();
}

void UploadFlow::OnUpldCancel() {
    // The page's cancellation, for the transfer manager's queue.
    if (UploadQueue* queue = m_context.Queue()) {
        queue->OnUpldCancel();
    }
}

bool UploadFlow::HasRetryableFailures() const {
    // The second failed list holds refusals that a retry does not mend.
    const UploadQueue* queue = m_context.Queue();
    return queue && queue->HasRetryableFailures();
}

void UploadFlow::FinishUploads() {
    if (m_nowCalcCount > 0) {
        return;
    }
    UploadQueue* queue = m_context.Queue();
    m_context.SetWorkState(WorkState::kWsIdle);
    if (HasRetryableFailures()) {
        if (ScheduleRetry()) {
            return;
        }
        // Retries exhausted: the failures stay listed and are reported.
    } else {
        m_retryCount = 0;
    }
    m_uploadBatch = false;
    ClientInterfaceMgr& link = ClientInterfaceMgr::GetInstance();
    if (m_context.DownloadsActive()) {
        // Nothing is reported while downloads go on; what this batch finished or failed is
        // not carried into the report of the next one.
        ForgetBatchReport();
        m_context.MoveTxStatus(TxEvent::kDownloadsActive);
        if (m_context.GetTxState() == TxState::kPaused) {
            m_context.View().ShowStatusText(CMultiLanguageMgr::GetInstance().LoadString(kTextPause));
            m_context.MoveTxStatus(TxEvent::kPaused);
            link.sendSimpleMsg(Out::kAllEnded);
        }
    } else {
        m_context.MoveTxStatus(TxEvent::kAllFinished);
        m_context.View().ZeroSpeeds();
        m_context.ShowIdleLook();
        const bool failures = (queue && queue->HasUnreportedFailures()) || !m_unsentNames.empty();
        if (failures) {
            m_failedItems = true;
            ReportFailures();
        } else {
            std::vector<std::string> finished =
                queue ? queue->takeFinishedNames() : std::vector<std::string>();
            if (m_namesFlag) {
                link.pushFinishedNames(finished, true);
            } else {
                link.sendSimpleMsg(Out::kAllEnded);
            }
        }
        m_namesFlag = true;
    }
    RestoreCarriedDragDirs();
    StartNextRequest();
}

bool UploadFlow::ScheduleRetry() {
    ++m_retryCount;
    if (m_retryCount > kMaxRetries) {
        m_retryCount = 0;
        return false;
    }
    const uint32_t delayMs = static_cast<uint32_t>(m_retryCount) * m_context.Timings().retryStepMs;
    m_context.SetWorkState(WorkState::kWsRetryWait);
    const UploadQueue* queue = m_context.Queue();
    LOGF(INFO, "CDndUiDlg - %d failed uploads, retry %d in %d ms",
         queue ? static_cast<int>(queue->GetFailedList().size()) : 0, m_retryCount,
         static_cast<int>(delayMs));
    m_context.SetTimer(kTimerRetry, delayMs);
    return true;
}

void UploadFlow::ReportFailures() {
    UploadQueue* queue = m_context.Queue();
    std::vector<std::string> names =
        queue ? queue->takeUnreportedFailedNames(kMaxReportedFailures) : std::vector<std::string>();
    for (const auto& name : m_unsentNames) {
        if (names.size() >= kMaxReportedFailures) {
            break;
        }
        names.push_back(name);
    }
    m_unsentNames.clear();
    if (queue) {
        queue->takeFinishedNames();  // a batch with failures is reported by them alone
    }
    LOGF(WARNING, "CDndUiDlg - uploads failed, the page is told %d names",
         static_cast<int>(names.size()));
    ClientInterfaceMgr::GetInstance().pushFailedNames(names, true);
}

void UploadFlow::ForgetBatchReport() {
    UploadQueue* queue = m_context.Queue();
    const std::vector<std::string> failed =
        queue ? queue->takeUnreportedFailedNames(kMaxReportedFailures) : std::vector<std::string>();
    if (!failed.empty() || !m_unsentNames.empty()) {
        LOGF(WARNING, "CDndUiDlg - uploads failed while downloads run, not reported: %d names",
             static_cast<int>(failed.size() + m_unsentNames.size()));
    }
    m_unsentNames.clear();
    if (queue) {
        queue->takeFinishedNames();
    }
}

void UploadFlow::OnRetryTimer() {
    m_context.KillTimer(kTimerRetry);
    if (m_context.GetWorkState() != WorkState::kWsRetryWait) {
        return;
    }
    if (m_batchBusy) {
        // A new batch took over meanwhile; its end restarts the failures.
        m_retryDue = true;
        return;
    }
    RestartFailedUploads();
}

void UploadFlow::RestartFailedUploads() {
    UploadQueue* queue = m_context.Queue();
    if (!queue) {
        return;
    }
    VLOGF(1, "CDndUiDlg - retry %d of the failed uploads", m_retryCount);
    queue->resume();
    queue->restartFailedItems();
    m_uploadBatch = true;
    if (m_context.UploadsRunning()) {
        m_context.MoveTxStatus(TxEvent::kUploadsActive);
        m_context.View().SetWindowMode(IDispatcherView::kUploadMode);
    }
    // Failed dropped folders came back as requests.
    StartNextRequest();
}

void UploadFlow::RestoreCarriedDragDirs() {
    UnfinishedUploadsSaver& saver = m_context.Saver();
    if (!saver.HasCarriedDragDirs() || m_batchBusy || m_context.IsOffline() ||
        m_context.IsClosing()) {
        return;
    }
    if (QueueBusy()) {
        return;
    }
    if (FileBackupMgr::GetInstance().restoreDragDirs()) {
        VLOG(1) << "CDndUiDlg - the stored dropped folders are taken up again";
        saver.ClearCarriedDragDirs();
        saver.Save(m_context.Queue(), true);
        StartNextRequest();
    }
}

// ---------------------------------------------------------------------------------------------
// Offline, online, restore and close

void UploadFlow::PauseForOffline() {
    // Running uploads end paused and are held, walks and hashes wait at their next step, the
    // comparison puts back what it has not compared.
    if (UploadQueue* queue = m_context.Queue()) {
        m_userPausedUploads = queue->GetPauseAllStatus() == UploadQueue::kAllPaused;
        queue->OnButtonUpPause();
    }
    ComputeShaMgr::GetInstance().Pause();
    TravelDirMgr::GetInstance().Pause();
    CompareFileMgr::GetInstance().SetPaused(true);
}

void UploadFlow::ResumeAfterOffline() {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    ComputeShaMgr::GetInstance().Resume();
    TravelDirMgr::GetInstance().Resume();
    CompareFileMgr::GetInstance().SetPaused(false);
    CompareFileMgr::GetInstance().SignalWork();
    if (UploadQueue* queue = m_context.Queue()) {
        if (!m_userPausedUploads) {
            queue->OnButtonUpStart();
        }
        // What failed while the server was away is tried again at once.
        if (!queue->GetFailedList().empty()) {
            queue->resume();
            queue->restartFailedItems();
        }
        if (m_context.UploadsRunning()) {
            m_uploadBatch = true;
            m_context.MoveTxStatus(TxEvent::kUploadsActive);
            m_context.View().SetWindowMode(IDispatcherView::kUploadMode);
        }
    }
    if (list.getUploadListSize() > 0) {
        StartUploads();
    }
    startCalcSha();
    MaybeEndBatch();
    StartNextRequest();
    if (!m_batchBusy && m_uploadBatch && m_context.Queue() && !QueueBusy()) {
        FinishUploads();
    }
}

void UploadFlow::StartRestoredUploads(bool paused) {
    UploadQueue* queue = m_context.Queue();
    if (!queue) {
        return;
    }
    if (paused) {
        // Paused when the process ended: the uploads are listed, and wait for start all.
        m_context.SetWorkState(WorkState::kWsRestored);
        queue->OnButtonUpPause();
        queue->upldNewFiles();
        m_uploadBatch = true;
        return;
    }
    queue->upldNewFiles();
    m_uploadBatch = true;
    m_context.MoveTxStatus(TxEvent::kUploadsActive);
    if (m_context.UploadsRunning()) {
        m_context.View().SetWindowMode(IDispatcherView::kUploadMode);
    }
    m_context.SetWorkState(WorkState::kWsRestored);
    ClientInterfaceMgr::GetInstance().sendSimpleMsg(Out::kUploadsStarted);
}

void UploadFlow::StopWorkersForClose() {
    // Walks and hashes stop at their next step; the comparison is told to quit (the entry
    // waits for it after the loop).
    ComputeShaMgr::GetInstance().Stop();
    TravelDirMgr::GetInstance().Stop();
    CompareFileMgr::GetInstance().SetStopFlag();
}

void UploadFlow::StopTransfersForClose() {
    // The upload pool ends its transfers (each notices its stop within a chunk) and is
    // joined, so nothing moves any more while the unfinished uploads are stored.
    UploadQueue* queue = m_context.Queue();
    if (queue && queue->HasActiveTransfers()) {
        queue->quitTasks();
    }
    CUpldThreadMgr::GetInstance().Stop();
}

void UploadFlow::NoteUnsent(const fs::path& path) {
    // Only the first few are ever named to the page.
    if (m_unsentNames.size() >= kMaxReportedFailures) {
        return;
    }
    fs::path plain = path.lexically_normal();
    if (!plain.has_filename()) {
        plain = plain.parent_path();
    }
    // The page takes names as UTF-8 text; a file name need not be.
    m_unsentNames.push_back(CommonUtils::ToValidUtf8(plain.filename().string()));
}

void UploadFlow::OnWalkSkipped(const std::vector<fs::path>* paths) {
    if (!paths) {
        return;
    }
    for (const auto& path : *paths) {
        NoteUnsent(path);
    }
}
