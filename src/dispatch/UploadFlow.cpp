#include "dispatch/UploadFlow.h"

#include <optional>
#include <utility>

#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkProtocol.h"
#include "platform/FileSystem.h"
#include "platform/WindowRegistry.h"
#include "upload/CalcShaParam.h"
#include "upload/CalcShaResult.h"
#include "upload/CompareFileMgr.h"
#include "upload/ComputeShaMgr.h"
#include "upload/FileBackupMgr.h"
#include "upload/TravelDirMgr.h"
#include "upload/UploadQueue.h"

namespace fs = std::filesystem;
using LinkProtocol::Out;

// ---------------------------------------------------------------------------------------------
// Upload requests and batches

void UploadFlow::OnC2LUpldReq() {
    if (m_context.IsOffline() || m_context.IsClosing()) {
        // Stored with the backup file list; started at the next request after going online.
        VLOG(1) << "CDndUiDlg::OnC2LUpldReq - offline, the request waits";
        return;
    }
    IDispatcherView& view = m_context.View();
    if (view.GetWindowMode() == IDispatcherView::kIdleMode && !m_context.UploadsRunning()) {
        view.SetWindowMode(IDispatcherView::kUploadMode);
    }
    OnSpecificDragFileInfo();
}

void UploadFlow::OnSpecificDragFileInfo() {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    if (m_context.IsOffline() || m_context.IsClosing()) {
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
            m_context.ShowIdleLook();
            return;
        }
        list.setBatchTarget(request->key.pid, request->key.share);
        // A batch compares only its own files: nothing of an earlier one is compared any more
        // (a retry's records, which skip the comparison, are counted there too). The count of
        // files remaining takes in every upload not yet ended, earlier batches' included, and
        // starts from nothing only when none is under way. And the batch sees the server as it
        // is now: listings cached for an earlier batch do not show what that batch uploaded,
        // and files already there would be sent again.
        list.resetToCompareCount();
        if (!QueueBusy() && list.getUploadListSize() == 0) {
            list.addFileCount(0);
        }
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
                if (TravelDirMgr::GetInstance().AddJob(m_context.Window(), path)) {
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
        // While the uploads of the batches before still go (0 to 2), a batch that finds
        // nothing to send is reported as "nothing to upload"; otherwise (after start-up, after
        // a batch ended, beside other transfers) as ended after an interruption.
        m_context.SetWorkState(m_context.GetWorkState() <= WorkState::kWsUploading
                                   ? WorkState::kWsBatchFromIdle
                                   : WorkState::kWsBatchWhileBusy);
        startCalcSha();
        MaybeEndBatch();
    }
}

void UploadFlow::OnTravelDirDone(bool walkEnded) {
    // Every batch of paths brings one of these; only the last one of a walk ends the walk.
    if (walkEnded && m_walksInProgress > 0) {
        --m_walksInProgress;
    }
    if (FileBackupMgr::GetInstance().getSubFileCount() > 0) {
        startCalcSha();
    }
    MaybeEndBatch();
}

void UploadFlow::OnCreateDirFail(const std::string& folderName) {
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
        if (UploadQueue* queue = m_context.Queue()) {
            queue->addFailedFolder(folder, target.pid, target.share);
        }
        list.removeActivePath(folder.string());
        list.removeDroppedRoot(folder);
    } else {
        LOG(WARNING) << "CDndUiDlg::OnCreateDirFail - " << folderName << " is not in the batch";
    }
    m_failedItems = true;
    if (m_walksInProgress > 0) {
        --m_walksInProgress;
    }
    MaybeEndBatch();
}

// ---------------------------------------------------------------------------------------------
// Hashing and comparison

void UploadFlow::startCalcSha() {
    VLOGF(1, "CDndUiDlg::startCalcSha: m_nowCalcCount %d\n", m_nowCalcCount);
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    while (m_nowCalcCount < kMaxHashJobs) {
        std::vector<fs::path> paths =
            list.takeSubFiles(static_cast<size_t>(kMaxHashJobs - m_nowCalcCount));
        if (paths.empty()) {
            break;
        }
        for (const auto& path : paths) {
            invokeToCalcSha(path);
        }
    }
}

void UploadFlow::invokeToCalcSha(const fs::path& path) {
    VLOG(1) << "CDndUiDlg::invokeToCalcSha:" << path.string();
    ++m_nowCalcCount;
    if (!ComputeShaMgr::GetInstance().AddJob(CalcShaParam{m_context.Window(), path})) {
        LOG(ERROR) << "CDndUiDlg::invokeToCalcSha: can't start thread";
        // The result comes all the same, without a hash: the file is accounted for as one that
        // could not be read, and the count of jobs in flight stays right.
        platform::PostMessage(m_context.Window(),
                              platform::Message(WM_CALC_SHA_FINISH,
                                                platform::MakePayload<CalcShaResult>(
                                                    CalcShaResult{path, std::string(), 0})));
    }
}

void UploadFlow::OnCalcShaFinish(const CalcShaResult* result) {
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
        const platform::FileStat st = platform::StatFile(result->path);
        if (result->hash.empty() && !(st.isRegular && st.size == 0)) {
            LOG(WARNING) << "Upload: the changed file could not be read: " << result->path.string();
            NoteUnsent(result->path);
        }
        if (list.getUploadListSize() > 0 && !m_context.IsOffline()) {
            StartUploads();
        }
        startCalcSha();
        MaybeEndBatch();
        if (!m_batchBusy && m_uploadBatch) {
            OnUpldFinish();  // it may have been the last upload, and gone now
        }
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

void UploadFlow::OnBackupNotify() {
    if (m_context.IsOffline() || m_context.IsClosing()) {
        // The compared files wait in the backup file list until the process is online.
        return;
    }
    if (m_batchBusy) {
        ++m_batchUploads;
    }
    StartUploads();
}

void UploadFlow::StartUploads() {
    UploadQueue* queue = m_context.Queue();
    if (!queue) {
        return;
    }
    const bool wasRunning = m_context.UploadsRunning();
    // The queue stops taking new work when its last task ended; a user's pause all stays.
    if (queue->IsStopped() && queue->GetPauseAllStatus() != UploadQueue::kAllPaused) {
        queue->resume();
    }
    queue->upldNewFiles();
    m_uploadBatch = true;
    if (!wasRunning && m_context.UploadsRunning()) {
        m_failedItems = false;
        if (!m_context.DownloadsActive()) {
            m_context.MoveTxStatus(TxEvent::kUploadsActive);
            ClientInterfaceMgr::GetInstance().pushTransferNames(queue->GetQueuedNames(), true);
            m_context.View().SetWindowMode(IDispatcherView::kUploadMode);
        } else {
            m_context.MoveTxStatus(TxEvent::kBothActive);
            m_context.View().StartIconAlternation();
        }
    }
    m_context.SetWorkState(m_context.GetWorkState() <= WorkState::kWsBatchFromIdle
                               ? WorkState::kWsUploading
                               : WorkState::kWsTransferring);
}

void UploadFlow::OnCmpLoopOver() {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    VLOGF(1, "CDndUiDlg::OnCmpLoopOver, spf %d, gf %d", list.getToCompareCount(), m_batchUploads);
    if (m_walksInProgress > 0) {
        VLOG(1) << "CDndUiDlg::OnCmpLoopOver, there is fold in travel";
        return;
    }
    if (m_context.IsOffline()) {
        return;
    }
    MaybeEndBatch();
}

void UploadFlow::MaybeEndBatch() {
    if (!m_batchBusy || m_context.IsOffline() || m_context.IsClosing()) {
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

bool UploadFlow::QueueBusy() const {
    const UploadQueue* queue = m_context.Queue();
    return queue && (queue->GetUploadCount() > 0 || queue->HasActiveTransfers());
}

void UploadFlow::EndBatch(bool startNext) {
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    VLOGF(1, "CDndUiDlg - batch of %d ended, %d uploads", list.getBatchTarget().pid, m_batchUploads);
    list.clearDroppedRoots();
    list.clearActiveRequests();
    m_batchBusy = false;
    m_walksInProgress = 0;
    const bool producedNothing = m_batchUploads == 0;
    m_batchUploads = 0;

    // With a request after it, the batch is reported with that one's end.
    if (!list.hasPendingRequests()) {
        const bool uploadsEnded = !QueueBusy() && list.getUploadListSize() == 0;
        if (uploadsEnded && (!producedNothing || m_uploadBatch)) {
            // Its uploads, or those of the batches before, ended while it was busy (or the
            // server held the content at once): their report is due now.
            m_retryDue = false;  // the report retries what failed
            m_uploadBatch = true;
            FinishUploads();
            return;  // FinishUploads takes the next request itself
        }
        if (producedNothing) {
            EndEmptyBatch();
        }
    }
    if (m_retryDue) {
        m_retryDue = false;
        RestartFailedUploads();  // takes the next request itself
        return;
    }
    if (startNext) {
        StartNextRequest();
    }
}

void UploadFlow::EndEmptyBatch() {
    // Everything was there already, or nothing could be read.
    UploadQueue* queue = m_context.Queue();
    const WorkState state = m_context.GetWorkState();
    const TxState txState = m_context.GetTxState();
    m_context.ShowIdleLook();
    if (!m_unsentNames.empty()) {
        // Files that could not be sent are reported with the uploads still under way, or now.
        if (!m_uploadBatch) {
            ReportFailures();
        }
    } else if (state < WorkState::kWsBatchWhileBusy && txState == TxState::kNone) {
        ClientInterfaceMgr::GetInstance().sendSimpleMsg(Out::kNothingToUpload);
    } else if (state < WorkState::kWsBatchWhileBusy && txState == TxState::kUploads) {
        if (!(queue && queue->HasRetryableFailures())) {
            ClientInterfaceMgr::GetInstance().sendSimpleMsg(Out::kNothingToUpload);
        } else if (ScheduleRetry()) {
            return;
        }
    } else if (state == WorkState::kWsBatchWhileBusy && txState == TxState::kNone) {
        ClientInterfaceMgr::GetInstance().sendSimpleMsg(Out::kBatchInterrupted);
    }
    m_context.SetWorkState(WorkState::kWsIdle);
}

void UploadFlow::StartNextRequest() {
    if (!m_batchBusy && !m_context.IsOffline() && !m_context.IsClosing() &&
        FileBackupMgr::GetInstance().hasPendingRequests()) {
        OnSpecificDragFileInfo();
    }
}
