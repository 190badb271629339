#include "ui/MainUiDlg.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>

#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "ui/DndUiDlg.h"
#include "ui/SkinImage.h"
#include "ui/TransferProgressText.h"
#include "upload/CUploaderContext.h"
#include "upload/UpldTaskInfo.h"

using Kind = ControlSpec::Kind;

namespace {
constexpr uint32_t kTextAutoSaved = 154;  // "(Auto Saved)"
}  // namespace

CMainUiDlg::CMainUiDlg() = default;

CMainUiDlg::~CMainUiDlg() {
    // The rows go with the list widget; the queues must not report to a half-destroyed window.
    m_upldQueue.SetView(nullptr);
    m_dnldQueue.SetView(nullptr);
}

QRect CMainUiDlg::DefaultGeometry(const QRect& available) {
    return QRect(available.x() + available.width() - 440, available.y() + available.height() - 475,
                 430, 468);
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
    m_dnldPage.Attach(
        m_pDnldList, m_pDnldNumLabel, [this](QWidget* row) { BindNotifications(row); },
        [this](const IDnldQueueView::Counts&) { UpdateStartBtn(); });
    m_dnldQueue.SetView(&m_dnldPage);
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
        options[page]->setChecked(true);
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
    } else if (m_dnldPage.OnRowClick(notify.name, notify.pSender)) {
        // a row of the download page
    } else if (notify.name == "clearLogBtn") {
        // Clearing the history acts on the history page, which takes this click here.
        VLOGF(1, "CMainUiDlg::Notify - %s has no page to act on yet", notify.name.c_str());
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

// ---- the upload queue's rows ----

std::string CMainUiDlg::UpldRowText(const UpldTaskInfo& info) {
    std::string text = info.name;
    if (info.lockFlag) {
        // A saved version of a file being edited, listed among the other uploads.
        text += " " + CMultiLanguageMgr::GetInstance().LoadString(kTextAutoSaved);
    }
    text += "    " + CUploaderContext::GetDisplayText(info.state, info.statusText);
    if (info.state == TSE_TRANSFERRING && info.fileSize > 0) {
        text += "  " + std::to_string(info.breakPoint * 100 / info.fileSize) + "%";
    }
    return text;
}

void CMainUiDlg::OnUpldRowAdded(const UpldTaskInfo& info) {
    if (!m_pUpldList) {
        return;
    }
    auto* item = new QListWidgetItem(QString::fromStdString(UpldRowText(info)), m_pUpldList);
    m_upldRows[info.taskIndex] = item;
}

void CMainUiDlg::OnUpldRowChanged(const UpldTaskInfo& info) {
    auto it = m_upldRows.find(info.taskIndex);
    if (it != m_upldRows.end()) {
        it->second->setText(QString::fromStdString(UpldRowText(info)));
    }
}

void CMainUiDlg::OnUpldRowRemoved(int32_t taskIndex) {
    auto it = m_upldRows.find(taskIndex);
    if (it != m_upldRows.end()) {
        delete it->second;  // takes it out of the list widget
        m_upldRows.erase(it);
    }
}

void CMainUiDlg::OnUpldCountChanged(const IUpldQueueView::Counts& counts) {
    if (m_pUpldNumLabel) {
        m_pUpldNumLabel->setText(
            QString::fromStdString(TransferProgressText::CountText(counts.left, counts.failed)));
    }
    m_upldCounts = counts;
    UpdateStartBtn();
}

void CMainUiDlg::UpdateStartBtn() {
    const IDnldQueueView::Counts& downloads = m_dnldPage.GetCounts();
    const bool uploadsPaused =
        m_upldCounts.stopped && m_upldQueue.GetPauseAllStatus() == UploadQueue::kAllPaused;
    if ((uploadsPaused || downloads.pausedAll) && m_upldCounts.running == 0 &&
        downloads.running == 0) {
        SetStartBtnState(kPaused);
    } else {
        changeBtns(m_upldCounts.running, downloads.running);
    }
}

void CMainUiDlg::OnCapacityWarning() {
    // The drop window shows the warning with its look; until it does, the count label says it.
    LOG(WARNING) << "CMainUiDlg::OnCapacityWarning - the cloud disk is full";
    if (m_pUpldNumLabel) {
        m_pUpldNumLabel->setText(
            QString::fromStdString(CMultiLanguageMgr::GetInstance().LoadString(130)));  // "No Capacity"
    }
}
