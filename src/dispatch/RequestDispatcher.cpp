#include "dispatch/RequestDispatcher.h"

#include <filesystem>
#include <string>
#include <vector>

#include "core/Logging.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "download/DownloadEndInfo.h"
#include "download/DownloadQueue.h"
#include "download/DownloadStatus.h"
#include "upload/CalcShaResult.h"
#include "upload/TravelDirHandler.h"
#include "upload/UploadQueue.h"

RequestDispatcher::RequestDispatcher(IDispatcherView& view)
    : m_context(view),
      m_uploads(m_context),
      m_downloads(m_context),
      m_localEdit(m_context),
      m_backup(m_context),
      m_clipboard(m_context),
      m_connectivity(m_context, m_uploads, m_downloads, m_localEdit),
      m_lifecycle(m_context, m_uploads, m_downloads, m_localEdit) {}

bool RequestDispatcher::HandleMessage(platform::Message& message) {
    switch (message.id) {
        case platform::WM_TIMER:
            return OnTimer(static_cast<uint32_t>(message.wValue));

        // Uploads.
        case WM_C2L_UPLD_REQ:
            m_uploads.OnC2LUpldReq();
            return true;
        case WM_TRAVEL_BATCH:
            m_uploads.OnTravelDirDone(message.lValue == TravelDirHandler::kLastBatch);
            return true;
        case WM_TRAVEL_FAILED: {
            const std::string* name = message.W<std::string>();
            m_uploads.OnCreateDirFail(name ? *name : std::string());
            return true;
        }
        case WM_TRAVEL_SKIPPED:
            m_uploads.OnWalkSkipped(message.W<std::vector<std::filesystem::path>>());
            return true;
        case WM_CALC_SHA_FINISH:
            m_uploads.OnCalcShaFinish(message.W<CalcShaResult>());
            return true;
        case WM_CMP_UPLOAD:
            m_uploads.OnBackupNotify();
            return true;
        case WM_CMP_LOOP_OVER:
            m_uploads.OnCmpLoopOver();
            return true;
        case WM_UPLD_ALL_DONE:
            m_uploads.OnUpldFinish();
            return true;
        case WM_UPLD_CANCEL:
            m_uploads.OnUpldCancel();
            return true;

        // Downloads.
        case WM_C2L_DNLD_REQ:
            m_downloads.OnC2LDnldReq(false);
            return true;
        case WM_BATCH_DNLD_REQ:
            m_downloads.OnC2LDnldReq(true);
            return true;
        case WM_DNLD_ALL_DONE:
            m_downloads.OnDnldFinish();
            return true;

        // Local edit.
        case WM_LOCALEDIT_REQ:
            m_localEdit.OnLocalEditReq();
            return true;
        case WM_LOCALEDIT_SHA:
            m_localEdit.OnLocalEditSha();
            return true;
        case WM_LOCALEDIT_DNLD_END:
            m_localEdit.OnLocalEditDnldFinish(message.W<DownloadEndInfo>(),
                                              message.L<DownloadStatus>());
            return true;
        case WM_LOCALEDIT_FILE_CHANGE:
            m_localEdit.OnFileChange(message.W<std::vector<std::filesystem::path>>());
            return true;
        case WM_LOCALEDIT_HASH_DONE:
            m_localEdit.OnHashDone(message.W<CalcShaResult>());
            return true;
        case WM_LOCALEDIT_NAMES:
            m_localEdit.OnLocalEditNames();
            return true;
        case WM_OPEN_EDIT_DIR:
            m_localEdit.OnOpenEditDir();
            return true;

        // Automatic backup.
        case WM_BACKUP_WORK:
            m_backup.OnBackupModFile(message.W<int>());
            return true;
        case WM_CHECK_DIR_EXIT:
            m_backup.OnCheckDirExit();
            return true;
        case WM_GET_FILE_PID:
            m_backup.OnGetFilePid();
            return true;

        // Clipboard.
        case WM_CLIPBOARD_COPY:
            m_clipboard.OnGetCpFileBegin();
            return true;
        case WM_PASTE_DETECTED:
            m_clipboard.OnCpDnldFileBegin(message.W<std::filesystem::path>());
            return true;

        // Connectivity.
        case WM_NETWORK_ERROR:
            m_connectivity.OnNetworkError();
            return true;
        case WM_NETWORK_OK:
            m_connectivity.OnNetworkOk();
            return true;
        case WM_GO_OFFLINE:
            m_connectivity.OnGoOffline();
            return true;
        case WM_GO_ONLINE:
            m_connectivity.OnGoOnline();
            return true;

        // Quit, and the page's requests about the windows.
        case WM_CLIENT_MSG_COME:
            m_lifecycle.OnClientMsgCome();
            return true;
        case WM_SHOW_HIDE:
            OnShowHide();
            return true;
        case WM_SHOW_TX_MANAGER:
            m_context.View().ShowTransferManager(
                IDispatcherView::PageForTxState(m_context.GetTxState()));
            return true;
        case WM_SHOW_BACKUP_CONFIG:
            m_context.View().ShowBackupSettings();
            return true;
        case WM_TX_REFRESH:
            if (ProcessState::GetInstance().TransfersActive()) {
                m_context.View().RefreshSpeedText();
            }
            return true;
        default:
            return false;
    }
}

bool RequestDispatcher::OnTimer(uint32_t timerId) {
    if (timerId == kTimerRetry) {
        m_uploads.OnRetryTimer();
        return true;
    }
    if (timerId == kTimerDnldRetry) {
        m_downloads.OnRetryTimer();
        return true;
    }
    if (timerId == kTimerPasteCleanup) {
        m_clipboard.OnCleanupTimer();
        return true;
    }
    return m_connectivity.OnTimer(timerId) || m_lifecycle.OnTimer(timerId);
}

void RequestDispatcher::OnMenuStart() {
    if (UploadQueue* uploads = m_context.Queue()) {
        uploads->OnButtonUpStart();
    }
    if (DownloadQueue* downloads = m_context.DnldQueue()) {
        downloads->OnButtonDlStart();
    }
    // The queues report what they started; the state is moved here as well, so that it is
    // right whatever the queues reported before.
    const bool uploads = m_context.UploadsRunning();
    const bool downloads = m_context.DownloadsRunning();
    IDispatcherView& view = m_context.View();
    if (uploads) {
        m_context.MoveTxStatus(TxEvent::kUploadsActive);
        view.SetWindowMode(IDispatcherView::kUploadMode);
    }
    if (downloads && uploads) {
        m_context.MoveTxStatus(TxEvent::kBothActive);
        view.StartIconAlternation();
    } else if (downloads) {
        m_context.MoveTxStatus(TxEvent::kDownloadsActive);
        view.SetWindowMode(IDispatcherView::kDownloadMode);
    }
    VLOGF(1, "CDndUiDlg::OnMenuStart - uploads %d, downloads %d, transfer state %d",
          uploads ? 1 : 0, downloads ? 1 : 0, static_cast<int>(m_context.GetTxState()));
}

void RequestDispatcher::OnMenuPause() {
    if (UploadQueue* uploads = m_context.Queue()) {
        uploads->OnButtonUpPause();
    }
    if (DownloadQueue* downloads = m_context.DnldQueue()) {
        downloads->OnButtonDlPause();
    }
}

void RequestDispatcher::OnCancelAll() { m_context.SetWorkState(WorkState::kWsCancelled); }

void RequestDispatcher::OnShowHide() {
    IDispatcherView& view = m_context.View();
    const bool visible = !view.IsWindowVisible();
    view.SetWindowVisible(visible);
    COptions::GetInstance().SetFloatWndShow(visible);
}

void RequestDispatcher::SetNamesFlag(bool uploads, bool set) {
    if (uploads) {
        m_uploads.SetNamesFlag(set);
    } else {
        m_downloads.SetNamesFlag(set);
    }
}
