#include "ui/DndUiDlg.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <QWindow>

#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/ProcessState.h"
#include "core/WindowMessages.h"
#include "link/ClientInterfaceMgr.h"
#include "platform/WindowRegistry.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"
#include "ui/SkinImage.h"
#include "upload/FileBackupMgr.h"
#include "download/DownloadQueue.h"
#include "upload/UploadQueue.h"

using Kind = ControlSpec::Kind;

CDndUiDlg::CDndUiDlg() = default;

CDndUiDlg::~CDndUiDlg() = default;

QRect CDndUiDlg::DefaultGeometry(const QRect& available) {
    return QRect(available.x() + available.width() - 240, available.y() + 34, 131, 36);
}

ControlSpecs CDndUiDlg::NamedControls() {
    return {
        {"imgLabel", Kind::kLabel, ""},
        {"txtLabel", Kind::kLabel, ""},
        {"nullLabel", Kind::kLabel, ""},
    };
}

void CDndUiDlg::InitWindow() {
    m_pTxtLabel = FindControl<QLabel>("txtLabel");
    m_pImgLabel = FindControl<QLabel>("imgLabel");
    m_pNullLabel = FindControl<QLabel>("nullLabel");
}

void CDndUiDlg::InitDlg() {
    SetWindowMode(kIdleMode);
    m_dispatcher.SetWindow(GetHandle());
    if (m_pMainDlg) {
        m_dispatcher.SetUploadQueue(&m_pMainDlg->GetUploadQueue());
        m_dispatcher.SetDownloadQueue(&m_pMainDlg->GetDownloadQueue());
    }
    m_dispatcher.InitDispatcher();
}

void CDndUiDlg::SetWindowMode(int mode) {
    m_windowMode = mode;
    const char* icon = mode == kDownloadMode ? "file='tx_download.png' dest='0,2,16,18'"
                                             : "file='tx_upload.png' dest='0,2,16,18'";
    SkinImage::Apply(m_pImgLabel, icon);
    if (mode == kIdleMode && m_pTxtLabel) {
        m_pTxtLabel->setText(
            QString::fromStdString(CMultiLanguageMgr::GetInstance().LoadString(115)));  // "Upload"
    }
}

void CDndUiDlg::ShowStatusText(const std::string& text) {
    if (m_pTxtLabel) {
        m_pTxtLabel->setText(QString::fromStdString(text));
    }
}

void CDndUiDlg::StartIconAlternation() { SetTimer(kTimerIconAlternation, 2000); }

void CDndUiDlg::OnIconAlternation() {
    const TxState txState = ProcessState::GetInstance().GetTxState();
    if (txState == TxState::kBoth) {
        SetWindowMode(m_windowMode == kUploadMode ? kDownloadMode : kUploadMode);
        RefreshSpeedText();
        return;
    }
    KillTimer(kTimerIconAlternation);
    SetWindowMode(txState == TxState::kUploads     ? kUploadMode
                  : txState == TxState::kDownloads ? kDownloadMode
                                                   : kIdleMode);
}

void CDndUiDlg::RefreshSpeedText() {
    // The speed of the direction shown, from the rows' last progress.
    if (!m_pTxtLabel || !m_pMainDlg || m_windowMode == kIdleMode) {
        return;
    }
    uint64_t bytesPerSecond = 0;
    if (m_windowMode == kUploadMode) {
        for (const auto& entry : m_pMainDlg->GetUploadQueue().GetTaskList()) {
            if (entry->running) {
                bytesPerSecond += entry->speed;
            }
        }
    } else {
        for (const auto& entry : m_pMainDlg->GetDownloadQueue().GetTaskList()) {
            if (entry->running) {
                bytesPerSecond += entry->speed;
            }
        }
    }
    const uint64_t kib = bytesPerSecond / 1024;
    const std::string text = kib >= 1024 ? std::to_string(kib / 1024) + " MB/s"
                                         : std::to_string(kib) + " KB/s";
    m_pTxtLabel->setText(QString::fromStdString(text));
}

void CDndUiDlg::ZeroSpeeds() {
    if (m_pTxtLabel && m_windowMode != kIdleMode) {
        m_pTxtLabel->setText(QStringLiteral("0 KB/s"));
    }
}

bool CDndUiDlg::IsWindowVisible() const { return isVisible(); }

void CDndUiDlg::SetWindowVisible(bool visible) { ShowWindow(visible, false); }

void CDndUiDlg::CloseAuxiliaryWindows() {
    // The drop window opens no auxiliary window of its own (no tooltip or backup settings
    // window is part of it), so nothing is open to close.
}

void CDndUiDlg::ShowTransferManager(int page) {
    if (m_pMainDlg) {
        m_pMainDlg->SelectPage(page);
        m_pMainDlg->ShowWindow(true);
        m_pMainDlg->raise();
        m_pMainDlg->activateWindow();
    }
}

void CDndUiDlg::ShowBackupSettings() {
    VLOG(1) << "CDndUiDlg::OnLocalConfig - no backup settings window yet";
}

void CDndUiDlg::OfferClipboardFile(const std::string& path) {
    m_clipboardOffer.Offer(QString::fromStdString(path));
}

void CDndUiDlg::HideAllWindows() {
    ShowWindow(false);
    if (m_pMainDlg) {
        m_pMainDlg->ShowWindow(false);
    }
}

void CDndUiDlg::QuitMessageLoop(int exitCode) { CPaintManagerUI::QuitMessageLoop(exitCode); }

void CDndUiDlg::HideFloatWindow() {
    VLOGF(1, "CDndUiDlg::HideFloatWindow");
    ShowWindow(false);
    COptions::GetInstance().SetFloatWndShow(false);
    // Only when the page is connected.
    ClientInterfaceMgr::GetInstance().sendSimpleMsg(LinkProtocol::Out::kWindowHidden);
}

void CDndUiDlg::Notify(const UiNotify& notify) {
    if (notify.sType == "timer") {
        const auto timerId = static_cast<uint32_t>(notify.wParam);
        if (!m_dispatcher.OnTimer(timerId) && timerId == kTimerIconAlternation) {
            OnIconAlternation();
        }
        return;
    }
    if (notify.sType == "menu_msg") {
        OnMenuCommand(notify.name);
    }
}

void CDndUiDlg::OnMenuCommand(const std::string& item) {
    // The menu window itself (opened by the right button) is drawn with the window's look.
    if (item == "m_exit") {
        OnCloseCommand();
    } else if (item == "m_resume") {
        m_dispatcher.OnMenuResume();
    } else if (item == "m_hide") {
        HideFloatWindow();
    } else if (item == "m_mgr") {
        ShowTransferManager(ProcessState::GetInstance().GetTxState() == TxState::kDownloads
                                ? kDownloadPage
                                : kUploadPage);
    } else if (item == "m_start" && m_pMainDlg) {
        m_pMainDlg->GetUploadQueue().OnButtonUpStart();
        m_pMainDlg->GetDownloadQueue().OnButtonDlStart();
    } else if (item == "m_pause" && m_pMainDlg) {
        m_pMainDlg->GetUploadQueue().OnButtonUpPause();
        m_pMainDlg->GetDownloadQueue().OnButtonDlPause();
    }
}

int64_t CDndUiDlg::HandleCustomMessage(platform::Message& message, bool& handled) {
    handled = m_dispatcher.HandleMessage(message);
    if (!handled) {
        VLOGF(1, "CDndUiDlg - message 0x%X not handled", message.id);
    }
    return 0;
}

void CDndUiDlg::OnCloseCommand() {
    if (IsClosing()) {
        return;  // the page's quit and a termination signal may both ask
    }
    OnClose();
    CPaintManagerUI::QuitMessageLoop(0);
}

void CDndUiDlg::OnClose() { m_dispatcher.OnClose(); }

void CDndUiDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        WindowImplBase::mousePressEvent(event);
        return;
    }
    // Dragged as if by a caption: the window manager moves it where it can, we do otherwise.
    if (windowHandle() && windowHandle()->startSystemMove()) {
        return;
    }
    m_dragging = true;
    m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void CDndUiDlg::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - m_dragOffset);
    } else {
        m_dragging = false;
    }
}

void CDndUiDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void CDndUiDlg::dropEvent(QDropEvent* event) {
    std::vector<std::filesystem::path> paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            paths.emplace_back(url.toLocalFile().toStdString());
        }
    }
    if (!paths.empty()) {
        event->acceptProposedAction();
        OnFilesDropped(paths);
    }
}

void CDndUiDlg::OnFilesDropped(const std::vector<std::filesystem::path>& paths) {
    VLOGF(1, "CDndUiDlg::OnFilesDropped - %d paths", static_cast<int>(paths.size()));
    COptions& options = COptions::GetInstance();
    if (ProcessState::GetInstance().IsOffline()) {
        return;
    }
    // One upload request into the disk's top folder.
    FileBackupMgr::GetInstance().addWorkRequest(FileBackupMgr::RequestKey{0, 0}, paths);
    if (ProcessState::GetInstance().IsBatchIdle()) {
        SetWindowMode(kUploadMode);
    }
    m_dispatcher.OnSpecificDragFileInfo();
}
