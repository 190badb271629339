#include "dispatch/DownloadFlow.h"

#include "cloud/MiscToolMgr.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "download/CDnldThreadMgr.h"
#include "download/DownloadQueue.h"
#include "download/FileDownloadMgr.h"
#include "download/LocalEditDnldMgr.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkProtocol.h"

using LinkProtocol::Out;

namespace {
constexpr uint32_t kTextPause = 153;  // "Pause"
}  // namespace

void DownloadFlow::OnC2LDnldReq(bool withFolders) {
    if (m_context.IsOffline() || m_context.IsClosing()) {
        return;  // stored; taken up when the process is online again
    }
    VLOGF(1, "CDndUiDlg::OnC2LDnldReq - %s", withFolders ? "batch" : "files");
    StartDownloads();
}

void DownloadFlow::StartDownloads() {
    DownloadQueue* queue = m_context.DnldQueue();
    if (!queue) {
        return;
    }
    const bool wasRunning = queue->GetRunningCount() > 0;
    int taken = queue->dnldNewFiles();
    // A batch request lists its folders; each pass comes back as another request, and the
    // worker's last one says the listing has ended.
    if (FileDownloadMgr::GetInstance().hasFoldersToList()) {
        MiscToolMgr::GetInstance().requestFolderListing();
        ++taken;
    }
    if (taken > 0) {
        m_dnldBatch = true;
    }
    if (!wasRunning && queue->GetRunningCount() > 0) {
        if (m_context.UploadsRunning()) {
            m_context.MoveTxStatus(TxEvent::kBothActive);
            m_context.View().StartIconAlternation();
        } else {
            m_context.MoveTxStatus(TxEvent::kDownloadsActive);
            // Restored uploads that still hash keep their state: their files go straight up.
            const WorkState work = m_context.GetWorkState();
            if (work == WorkState::kWsIdle || work == WorkState::kWsStart ||
                work == WorkState::kWsCancelled) {
                m_context.SetWorkState(WorkState::kWsTransferring);
            }
            ClientInterfaceMgr::GetInstance().pushTransferNames(queue->GetQueuedNames(), false);
            m_context.View().SetWindowMode(IDispatcherView::kDownloadMode);
        }
    }
    SaveUnfinished(false);
}

bool DownloadFlow::ListingUnderWay() const {
    return MiscToolMgr::GetInstance().IsListingFolders() ||
           FileDownloadMgr::GetInstance().hasFoldersToList();
}

void DownloadFlow::OnDnldFinish() {
    DownloadQueue* queue = m_context.DnldQueue();
    VLOGF(1, "CDndUiDlg::OnDnldFinish, total num %d, dnld size %d",
          static_cast<int>(FileDownloadMgr::GetInstance().getInFlight()),
          queue ? queue->GetDownloadCount() : 0);
    if (!queue || m_context.IsClosing() || m_context.IsOffline()) {
        return;
    }
    if (!queue->GetTaskList().empty()) {
        queue->Schedule();  // still running: queued ones start, nothing is decided
        return;
    }
    if (FileDownloadMgr::GetInstance().pendingDownloadCount() > 0) {
        StartDownloads();
        return;
    }
    if (ListingUnderWay() || !m_dnldBatch) {
        // The listing's last request comes back here; without a batch of ours the queue only
        // says that it is empty.
        return;
    }
    FinishDownloads();
}

void DownloadFlow::FinishDownloads() {
    DownloadQueue* queue = m_context.DnldQueue();
    if (!queue->GetFailedList().empty()) {
        ++m_retryCount;
        if (m_retryCount <= kMaxRetries) {
            const uint32_t delayMs =
                static_cast<uint32_t>(m_retryCount) * m_context.Timings().retryStepMs;
            m_context.SetWorkState(WorkState::kWsRetryWait);
            LOGF(INFO, "CDndUiDlg - %d failed downloads, retry %d in %d ms",
                 static_cast<int>(queue->GetFailedList().size()), m_retryCount,
                 static_cast<int>(delayMs));
            m_context.SetTimer(kTimerDnldRetry, delayMs);
            return;
        }
    }
    // Retries exhausted (the failures stay listed and are reported), or nothing to retry.
    m_retryCount = 0;
    m_context.SetWorkState(WorkState::kWsIdle);
    m_dnldBatch = false;
    if (m_context.UploadsActive()) {
        m_context.MoveTxStatus(TxEvent::kUploadsActive);
        if (m_context.GetTxState() == TxState::kPaused) {
            m_context.View().ShowStatusText(CMultiLanguageMgr::GetInstance().LoadString(kTextPause));
            m_context.MoveTxStatus(TxEvent::kPaused);
            ClientInterfaceMgr::GetInstance().sendSimpleMsg(Out::kAllEnded);
        }
    } else {
        m_context.MoveTxStatus(TxEvent::kAllFinished);
        m_context.View().ZeroSpeeds();
        m_context.ShowIdleLook();
        ReportBatch();
        m_namesFlag = true;
    }
    SaveUnfinished(false);
}

void DownloadFlow::ReportBatch() {
    DownloadQueue* queue = m_context.DnldQueue();
    ClientInterfaceMgr& link = ClientInterfaceMgr::GetInstance();
    std::vector<std::string> finished = queue->takeFinishedNames();
    if (queue->HasFailedItems()) {
        // A batch with failures is reported by them alone.
        const std::vector<std::string> names = queue->GetFailedNames(kMaxReportedFailures);
        LOGF(WARNING, "CDndUiDlg - downloads failed, the page is told %d names",
             static_cast<int>(names.size()));
        link.pushFailedNames(names, false);
    } else if (m_namesFlag) {
        link.pushFinishedNames(finished, false);
    } else {
        link.sendSimpleMsg(Out::kAllEnded);
    }
}

void DownloadFlow::OnRetryTimer() {
    m_context.KillTimer(kTimerDnldRetry);
    DownloadQueue* queue = m_context.DnldQueue();
    if (!queue || m_context.IsOffline() || m_context.IsClosing()) {
        return;
    }
    VLOGF(1, "CDndUiDlg - retry %d of the failed downloads", m_retryCount);
    const bool wasRunning = queue->GetRunningCount() > 0;
    queue->restartDlFailedItems();
    m_dnldBatch = true;
    ShowRunningAgain(wasRunning);
}

void DownloadFlow::ShowRunningAgain(bool wasRunning) {
    if (!wasRunning && m_context.DownloadsRunning()) {
        m_context.MoveTxStatus(m_context.UploadsRunning() ? TxEvent::kBothActive
                                                          : TxEvent::kDownloadsActive);
        m_context.View().SetWindowMode(IDispatcherView::kDownloadMode);
    }
}

void DownloadFlow::PauseForOffline() {
    if (DownloadQueue* queue = m_context.DnldQueue()) {
        m_userPausedDownloads = queue->IsPausedAll();
        queue->OnButtonDlPause();
    }
}

void DownloadFlow::ResumeAfterOffline() {
    DownloadQueue* queue = m_context.DnldQueue();
    if (!queue) {
        return;
    }
    const bool wasRunning = queue->GetRunningCount() > 0;
    if (!m_userPausedDownloads) {
        queue->OnButtonDlStart();
    }
    if (!queue->GetFailedList().empty()) {
        queue->restartDlFailedItems();
        m_dnldBatch = true;
    }
    ShowRunningAgain(wasRunning);
    // Requests and folders that arrived while offline.
    StartDownloads();
}

void DownloadFlow::resumeDownloads() {
    const size_t restored = FileDownloadMgr::GetInstance().loadUnfinished();
    VLOGF(1, "CDndUiDlg::resumeDownloads - %d restored", static_cast<int>(restored));
    if (restored > 0 && !m_context.IsOffline()) {
        StartDownloads();
    }
    // The rows read are replaced by what the queue holds now, and kept from then on.
    SaveUnfinished(true);
}

void DownloadFlow::StopTransfersForClose() {
    DownloadQueue* queue = m_context.DnldQueue();
    if (queue && queue->HasActiveTransfers()) {
        queue->quitDlTasks();
    }
    CDnldThreadMgr::GetInstance().Stop();
    LocalEditDnldMgr::GetInstance().Stop();
}

void DownloadFlow::SaveUnfinished(bool force) {
    if (m_context.IsClosing() && !force) {
        return;  // the close handling writes the last snapshot
    }
    m_context.DnldSaver().Save(m_context.DnldQueue(), force);
}
