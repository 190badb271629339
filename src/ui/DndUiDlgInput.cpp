// The drop window's user input: the buttons, the keys, hovering, moves and dropped files.
#include "ui/DndUiDlg.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QToolTip>
#include <QUrl>
#include <QWindow>

#include "core/Logging.h"
#include "core/ProcessState.h"
#include "upload/FileBackupMgr.h"

void CDndUiDlg::mousePressEvent(QMouseEvent* event) {
    const QPoint globalPos = event->globalPosition().toPoint();
    if (event->button() == Qt::RightButton) {
        OpenMenu(globalPos);
        return;
    }
    if (event->button() != Qt::LeftButton) {
        WindowImplBase::mousePressEvent(event);
        return;
    }
    HideToolTip();
    QToolTip::hideText();
    m_userMoved = true;
    // Dragged as if by a caption: the window manager moves it where it can, we do otherwise.
    if (windowHandle() && windowHandle()->startSystemMove()) {
        return;
    }
    m_dragging = true;
    m_dragOffset = globalPos - frameGeometry().topLeft();
}

void CDndUiDlg::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - m_dragOffset);
    } else {
        m_dragging = false;
    }
}

void CDndUiDlg::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && m_dragging) {
        m_dragging = false;
        m_moveSettle.stop();
        OnMoveSettled();
        return;
    }
    WindowImplBase::mouseReleaseEvent(event);
}

void CDndUiDlg::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        WindowImplBase::mouseDoubleClickEvent(event);
        return;
    }
    m_dragging = false;
    m_userMoved = false;
    ShowTransferManager(PageForTxState(ProcessState::GetInstance().GetTxState()));
}

void CDndUiDlg::keyPressEvent(QKeyEvent* event) {
    const bool shiftF10 =
        event->key() == Qt::Key_F10 && (event->modifiers() & Qt::ShiftModifier);
    if (event->key() == Qt::Key_Menu || shiftF10) {
        OpenMenu(mapToGlobal(rect().center()));
        event->accept();
        return;
    }
    WindowImplBase::keyPressEvent(event);
}

void CDndUiDlg::enterEvent(QEnterEvent* event) {
    OnHover(event->globalPosition().toPoint());
    WindowImplBase::enterEvent(event);
}

void CDndUiDlg::leaveEvent(QEvent* event) {
    SetHoverLook(false);
    WindowImplBase::leaveEvent(event);
}

void CDndUiDlg::moveEvent(QMoveEvent* event) {
    WindowImplBase::moveEvent(event);
    if (isVisible() && !m_dragging) {
        m_moveSettle.start();
    }
}

namespace {

std::vector<std::filesystem::path> LocalPaths(const QMimeData* data) {
    std::vector<std::filesystem::path> paths;
    if (!data || !data->hasUrls()) {
        return paths;
    }
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            paths.emplace_back(url.toLocalFile().toStdString());
        }
    }
    return paths;
}

}  // namespace

void CDndUiDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (LocalPaths(event->mimeData()).empty()) {
        return;
    }
    event->acceptProposedAction();
    m_dragOver = true;
    UpdateStatusText();
}

void CDndUiDlg::dragLeaveEvent(QDragLeaveEvent* event) {
    m_dragOver = false;
    UpdateStatusText();
    WindowImplBase::dragLeaveEvent(event);
}

void CDndUiDlg::dropEvent(QDropEvent* event) {
    m_dragOver = false;
    const std::vector<std::filesystem::path> paths = LocalPaths(event->mimeData());
    if (!paths.empty()) {
        event->acceptProposedAction();
        OnFilesDropped(paths);
    }
    UpdateStatusText();
}

void CDndUiDlg::OnFilesDropped(const std::vector<std::filesystem::path>& paths) {
    VLOGF(1, "CDndUiDlg::OnFilesDropped - %d paths", static_cast<int>(paths.size()));
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
