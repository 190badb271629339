#include "dispatch/ConnectivityFlow.h"

#include "cloud/MiscToolMgr.h"
#include "core/CWriteDbMgr.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "dispatch/DownloadFlow.h"
#include "dispatch/LocalEditFlow.h"
#include "dispatch/UploadFlow.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkProtocol.h"
#include "upload/FileBackupMgr.h"

namespace {
constexpr uint32_t kTextOffline = 151;  // "Offline"
}  // namespace

bool ConnectivityFlow::OnTimer(uint32_t timerId) {
    switch (timerId) {
        case kTimerGoOffline:
            // Errors came and then quiet: offline, and ask whether the server is back.
            m_context.KillTimer(kTimerGoOffline);
            OnGoOffline();
            MiscToolMgr::GetInstance().requestNetworkCheck();
            return true;
        case kTimerNetworkRecheck:
            m_context.KillTimer(kTimerNetworkRecheck);
            MiscToolMgr::GetInstance().requestNetworkCheck();
            return true;
        default:
            return false;
    }
}

void ConnectivityFlow::OnNetworkError() {
    ++m_networkErrorCount;
    m_filesAtNetworkError = FileBackupMgr::GetInstance().getRemainingCount();
    VLOGF(1, "CDndUiDlg::OnNetworkError - %d errors, %d files left", m_networkErrorCount,
          m_filesAtNetworkError);
    m_context.SetTimer(kTimerGoOffline, m_context.Timings().networkErrorMs);
}

void ConnectivityFlow::OnNetworkOk() {
    ++m_networkOkCount;
    VLOGF(1, "CDndUiDlg::OnNetworkOk - %d", m_networkOkCount);
    if (m_networkOkCount >= kNetworkOksToRecover) {
        m_context.KillTimer(kTimerNetworkRecheck);
        if (m_context.IsOffline()) {
            OnGoOnline();
        }
        m_networkErrorCount = 0;
        // Each recovery needs three good checks of its own.
        m_networkOkCount = 0;
        return;
    }
    m_context.SetTimer(kTimerNetworkRecheck, m_context.Timings().networkRecheckMs);
}

void ConnectivityFlow::OnGoOffline() {
    if (m_context.IsOffline() || m_context.IsClosing()) {
        return;
    }
    LOG(INFO) << "CDndUiDlg::OnGoOffline";
    IDispatcherView& view = m_context.View();
    view.CloseAuxiliaryWindows();
    m_context.SetWorkState(WorkState::kWsOffline);
    m_networkOkCount = 0;
    m_context.ShowIdleLook();
    view.ShowStatusText(CMultiLanguageMgr::GetInstance().LoadString(kTextOffline));
    // Everything pauses where it stands and goes on from there when the process is online.
    m_uploads.PauseForOffline();
    m_downloads.PauseForOffline();
    m_localEdit.PauseForOffline();
    MiscToolMgr::GetInstance().SetPaused(true);
    ClientInterfaceMgr::GetInstance().sendSimpleMsg(LinkProtocol::Out::kAllEnded);
    m_context.Saver().Save(m_context.Queue(), true);
    m_downloads.SaveUnfinished(true);
    CWriteDbMgr::GetInstance().WriteAllBatches();
}

void ConnectivityFlow::OnGoOnline() {
    if (!m_context.IsOffline() || m_context.IsClosing()) {
        return;
    }
    LOG(INFO) << "CDndUiDlg::OnGoOnline";
    m_context.SetWorkState(WorkState::kWsIdle);
    m_networkOkCount = 0;
    m_context.View().SetWindowMode(IDispatcherView::kIdleMode);
    MiscToolMgr::GetInstance().SetPaused(false);
    m_uploads.ResumeAfterOffline();
    m_downloads.ResumeAfterOffline();
    m_localEdit.ResumeAfterOffline();
}
