#include "ui/MainUiDlg.h"

#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>

#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "ui/DndUiDlg.h"
#include "ui/SkinImage.h"
#include "ui/TransferProgressText.h"
#include "ui/WindowPlacement.h"
#include "upload/CUploaderContext.h"
#include "upload/UpldTaskInfo.h"

using Kind = ControlSpec::Kind;

CMainUiDlg::CMainUiDlg() = default;

CMainUiDlg::~CMainUiDlg() {
    // The rows go with the list widget; the queues must not report to a half-destroyed window.
    m_upldQueue.SetView(nullptr);
    m_dnldQueue.SetView(nullptr);
}

QRect CMainUiDlg::DefaultGeometry(const QRect& available) {
    // At the bottom right, and never beyond the area, however small the screen.
    const QRect wanted(available.x() + available.width() - 440,
                       available.y() + available.height() - 475, 430, 468);
    return WindowPlacement::KeptInside(wanted, available);
}

ControlSpecs CMainUiDlg::NamedControls() {
    return {
        {"upld_list", Kind::kOption, ""},
        {"dnld_list", Kind::kOption, ""},
        {"tx_history", Kind::kOption, ""},
        {"tab_main", Kind::kTab, ""},
        {"upld_list_tab", Kind::kList, "tab_main"},
        {"dnld_list_tab", Kind::kList, "tab_main"},
        {"hist_list_tab", Kind::kList, "tab_main"},
        {"upldNumLabel", Kind::kLabel, ""},
        {"dnldNumLabel", Kind::kLabel, ""},
        {"startBtn", Kind::kButton, ""},
        {"cancelBtn", Kind::kButton, ""},
        {"clearLogBtn", Kind::kButton, ""},
        {"closeBtn", Kind::kButton, ""},
    };
}

void CMainUiDlg::InitWindow() {
    m_pTabMain = FindControl<QStackedWidget>("tab_main");
    m_pUpldOption = FindControl<QPushButton>("upld_list");
    m_pDnldOption = FindControl<QPushButton>("dnld_list");
    m_pHistoryOption = FindControl<QPushButton>("tx_history");
    m_pUpldList = FindControl<QListWidget>("upld_list_tab");
    m_pDnldList = FindControl<QListWidget>("dnld_list_tab");
    m_pHistList = FindControl<QListWidget>("hist_list_tab");
    m_pStartBtn = FindControl<QPushButton>("startBtn");
    m_pCancelBtn = FindControl<QPushButton>("cancelBtn");
    m_pUpldNumLabel = FindControl<QLabel>("upldNumLabel");
    m_pDnldNumLabel = FindControl<QLabel>("dnldNumLabel");
    SelectPage(kUploadPage);
    SetStartBtnState(kNothingToStart);
    m_upldQueue.SetWindow(GetHandle());
    m_dnldQueue.SetWindow(GetHandle());
    const auto bind = [this](QWidget* row) { BindNotifications(row); };
    m_upldPage.Attach(m_pUpldList, m_pUpldNumLabel, bind);
    m_upldPage.SetCountsChanged([this](const IUpldQueueView::Counts&) { UpdateStartBtn(); });
    m_upldQueue.SetView(&m_upldPage);
    m_dnldPage.Attach(m_pDnldList, m_pDnldNumLabel, bind);
    m_dnldPage.SetCountsChanged([this](const IDnldQueueView::Counts&) { UpdateStartBtn(); });
    m_dnldQueue.SetView(&m_dnldPage);
    m_histPage.Attach(m_pHistList, bind);
    AddPageShortcuts();
    // Where the user left it last time, if that is still on a screen.
    // The stored corner is the frame's (pos()), as move() takes it.
    if (COptions::GetInstance().GetMainWndPos()) {
        const QRect restored =
            WindowPlacement::Restored(COptions::GetInstance().GetMainWndPos(), frameGeometry());
        MovePlaced(restored.topLeft());
    }
}

void CMainUiDlg::AddPageShortcuts() {
    const int pages[] = {kUploadPage, kDownloadPage, kHistoryPage};
    for (int page : pages) {
        auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_1 + page)), this);
        QObject::connect(shortcut, &QShortcut::activated, this, [this, page] { SelectPage(page); });
    }
    auto step = [this](int by) {
        const int current = GetCurrentPage() < 0 ? 0 : GetCurrentPage();
        SelectPage((current + by + 3) % 3);
    };
    auto* next = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Tab), this);
    QObject::connect(next, &QShortcut::activated, this, [step] { step(1); });
    auto* previous = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), this);
    QObject::connect(previous, &QShortcut::activated, this, [step] { step(-1); });
}

void CMainUiDlg::MovePlaced(const QPoint& topLeft) {
    m_placing = true;
    move(topLeft);
    m_placing = false;
}

void CMainUiDlg::showEvent(QShowEvent* event) {
    WindowImplBase::showEvent(event);
    // With its frame: move() places the frame's corner.
    const QRect now = frameGeometry();
    const QRect kept = WindowPlacement::KeptInside(now, WindowPlacement::AvailableAreaFor(now));
    if (kept.topLeft() != now.topLeft()) {
        VLOGF(1, "CMainUiDlg - put back on the screen: %d,%d -> %d,%d", now.x(), now.y(), kept.x(),
              kept.y());
        MovePlaced(kept.topLeft());
    }
}

void CMainUiDlg::moveEvent(QMoveEvent* event) {
    WindowImplBase::moveEvent(event);
    if (isVisible() && !m_placing) {
        m_userMoved = true;
    }
}

void CMainUiDlg::hideEvent(QHideEvent* event) {
    WindowImplBase::hideEvent(event);
    if (m_userMoved) {
        m_userMoved = false;
        COptions::GetInstance().SetMainWndPos(pos().x(), pos().y());
    }
}

void CMainUiDlg::SetDndDlg(CDndUiDlg* dndDlg, platform::WindowHandle hDndWnd) {
    m_pDndDlg = dndDlg;
    m_hDndWnd = hDndWnd;
}

void CMainUiDlg::changeBtns(int uploadsRunning, int downloadsRunning) {
    SetStartBtnState(uploadsRunning > 0 || downloadsRunning > 0 ? kRunning : kNothingToStart);
}

void CMainUiDlg::SetStartBtnState(int state) {
    m_startBtnState = state;
    if (!m_pStartBtn) {
        return;
    }
    const char* image = "file='play_g.png' dest='0,7,16,23'";
    uint32_t text = 107;  // "Start"
    if (state == kRunning) {
        image = "file='pause_n.png' dest='0,7,16,23'";
        text = 108;  // "Pause"
    } else if (state == kPaused) {
        image = "file='play_n.png' dest='0,7,16,23'";
    }
    SkinImage::Apply(m_pStartBtn, image);
    m_pStartBtn->setText(QString::fromStdString(CMultiLanguageMgr::GetInstance().LoadString(text)));
    m_pStartBtn->setEnabled(state != kNothingToStart);
}

void CMainUiDlg::SelectPage(int page) {
    if (m_pTabMain && page >= 0 && page < m_pTabMain->count()) {
        m_pTabMain->setCurrentIndex(page);
    }
    QPushButton* options[] = {m_pUpldOption, m_pDnldOption, m_pHistoryOption};
    if (page >= 0 && page < 3 && options[page] && !options[page]->isChecked()) {
        // Its "selectchanged" comes back here with the option checked.
        options[page]->setChecked(true);
        return;
    }
    if (page == kHistoryPage) {
        m_histPage.Load();  // whatever ended since it was last shown
    }
}

int CMainUiDlg::GetCurrentPage() const { return m_pTabMain ? m_pTabMain->currentIndex() : -1; }

void CMainUiDlg::Notify(const UiNotify& notify) {
    if (notify.sType == "selectchanged") {
        if (notify.name == "upld_list") {
            SelectPage(kUploadPage);
        } else if (notify.name == "dnld_list") {
            SelectPage(kDownloadPage);
        } else if (notify.name == "tx_history") {
            SelectPage(kHistoryPage);
        }
        return;
    }
    if (notify.sType != "click") {
        return;
    }
    if (notify.name == "closeBtn") {
        ShowWindow(false);
    } else if (notify.name == "startBtn") {
        if (m_startBtnState == kRunning) {
            SetStartBtnState(kPaused);
            m_upldQueue.OnButtonUpPause();
            m_dnldQueue.OnButtonDlPause();
        } else if (m_startBtnState == kPaused) {
            SetStartBtnState(kRunning);
            m_upldQueue.OnButtonUpStart();
            m_dnldQueue.OnButtonDlStart();
        }
    } else if (notify.name == "cancelBtn") {
        SetStartBtnState(kNothingToStart);
        if (m_pDndDlg) {
            m_pDndDlg->GetDispatcher().OnCancelAll();
        }
        m_upldQueue.cancelAll();
        m_dnldQueue.cancelAll();
    } else if (notify.name == "clearLogBtn") {
        m_histPage.Clear();
    } else if (m_upldPage.OnRowClick(notify.name, notify.pSender) ||
               m_dnldPage.OnRowClick(notify.name, notify.pSender) ||
               m_histPage.OnRowClick(notify.name, notify.pSender)) {
        // a click inside a row of one of the pages
    }
}

int64_t CMainUiDlg::HandleCustomMessage(platform::Message& message, bool& handled) {
    switch (message.id) {
        case WM_SHOW_TX_TAB:
            SelectPage(static_cast<int>(message.wValue));
            ShowWindow(true);
            handled = true;
            return 0;
        case WM_UPLD_STATUS:
        case WM_UPLD_PROGRESS:
        case WM_UPLD_END:
        case WM_UPLD_INFO:
        case WM_UPLD_CANCEL:
            handled = m_upldQueue.HandleMessage(message);
            return 0;
        case WM_DNLD_STATUS:
        case WM_DNLD_PROGRESS:
        case WM_DNLD_END:
            handled = m_dnldQueue.HandleMessage(message);
            return 0;
        default:
            handled = false;
            return 0;
    }
}

void CMainUiDlg::UpdateStartBtn() {
    const IDnldQueueView::Counts& downloads = m_dnldPage.GetCounts();
    const IUpldQueueView::Counts& uploads = m_upldPage.GetCounts();
    const bool uploadsPaused =
        uploads.stopped && m_upldQueue.GetPauseAllStatus() == UploadQueue::kAllPaused;
    if ((uploadsPaused || downloads.pausedAll) && uploads.running == 0 && downloads.running == 0) {
        SetStartBtnState(kPaused);
    } else {
        changeBtns(uploads.running, downloads.running);
    }
}

