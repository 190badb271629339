#include "ui/DndUiDlg.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <QWindow>

#include "core/CWriteDbMgr.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"
#include "ui/SkinImage.h"
#include "upload/ComputeShaMgr.h"

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
    // The dispatcher's start state (work state, network timer) is set up here once it exists.
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

void CDndUiDlg::HideFloatWindow() {
    ShowWindow(false);
    // Storing "float_wnd_show" = 0 and telling a connected page (simple message 10) come with
    // the persisted settings and the message server.
    VLOGF(1, "CDndUiDlg::HideFloatWindow");
}

void CDndUiDlg::Notify(const UiNotify& notify) {
    // The right-click menu's commands ("menu_msg": m_start, m_pause, m_mgr, m_hide, m_exit,
    // m_logout, m_resume) and the timers 1008 and 1100 are handled here with the menu window.
    (void)notify;
}

int64_t CDndUiDlg::HandleCustomMessage(platform::Message& message, bool& handled) {
    if (message.id >= WM_DNLD_ALL_DONE && message.id <= WM_GET_FILE_PID) {
        // The request dispatcher's handlers (OnC2LUpldReq, OnCalcShaFinish, ...) take these.
        // Until it exists the message is logged and its records are freed with it.
        VLOGF(1, "CDndUiDlg - message 0x%X waits for the dispatcher", message.id);
    }
    handled = false;
    return 0;
}

void CDndUiDlg::OnCloseCommand() {
    if (m_closing) {
        return;  // the page's quit and a termination signal may both ask
    }
    OnClose();
    CPaintManagerUI::QuitMessageLoop(0);
}

void CDndUiDlg::OnClose() {
    if (m_closing) {
        return;
    }
    m_closing = true;
    VLOG(1) << "CDndUiDlg::OnClose";

    // 1. Out of the user's sight first.
    ShowWindow(false);
    // (the backup settings window closes here once it exists)
    if (m_pMainDlg) {
        m_pMainDlg->ShowWindow(false);
    }
    // 2. The upload queue's last state, for the next start.
    CWriteDbMgr::GetInstance().AddLastTxStatus(COptions::GetInstance().m_txStatus);
    // 3.-4. Later work fills these in: quit the local-edit helper and the local edit manager's
    // tasks; end running transfers (CMainUiDlg::quitTasks).
    // 5. What is written from here on runs after everything still waiting.
    CWriteDbMgr::GetInstance().SetClosing();

    // 6. The hash pool; then the folder walk and the backup checker pool stop and the
    // comparison thread and the server actions worker are told to quit, once they exist.
    ComputeShaMgr::GetInstance().Stop();

    // 7.-11. Later: end transfers still running; stop the upload, download and local-edit
    // download pools; stop the folder watcher, the backup monitor and the backup change
    // checker; save unfinished downloads and uploads and stop all tasks. Each stop joins its
    // threads, so no fixed sleep is needed between them.

    // 12. The transfer manager's close command (it only hides).
    if (m_pMainDlg) {
        platform::PostMessage(m_pMainDlg->GetHandle(), platform::WM_CLOSE);
    }
    // 13. Later: save the unfinished dropped folders (with the backup file list's save).
    // 14. The time of this exit; the backup check of the next start looks for changes since.
    COptions::GetInstance().SaveLastExitTime();
    // 15. The folder icons come off; the next start puts them back.
    COptions::GetInstance().ClearBackupFolders();
}

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
    // Dropped paths become one upload request of the backup file list for the default target
    // folder, then OnSpecificDragFileInfo of the dispatcher; both land with the upload work.
    VLOGF(1, "CDndUiDlg::OnFilesDropped - %d paths", static_cast<int>(paths.size()));
}
