#pragma once

#include <cstdint>

#include "download/DownloadQueue.h"
#include "ui/CDnldPage.h"
#include "ui/CHistoryPage.h"
#include "ui/CUpldPage.h"
#include "ui/WindowImplBase.h"
#include "upload/UploadQueue.h"

class CDndUiDlg;
class QLabel;
class QListWidget;
class QPushButton;
class QStackedWidget;

// The transfer manager: upload, download and history pages and the buttons that act on all
// transfers at once. Created hidden at start-up; its close command only hides it. It owns the
// upload queue (UploadQueue) and the download queue (DownloadQueue) and hands them the tasks'
// messages; each queue is drawn by its page (CUpldPage, CDnldPage), which also takes the clicks
// inside its rows. The history page (CHistoryPage) reads the log database when it is selected.
class CMainUiDlg : public WindowImplBase {
public:
    // Pages of "tab_main".
    enum Page { kUploadPage = 0, kDownloadPage = 1, kHistoryPage = 2 };
    // States of "startBtn".
    enum StartBtnState { kRunning = 0, kPaused = 1, kNothingToStart = 2 };

    CMainUiDlg();
    ~CMainUiDlg() override;

    // 430 x 468 at the bottom right of the available desktop area.
    static QRect DefaultGeometry(const QRect& available);
    static ControlSpecs NamedControls();

    std::string GetWindowClassName() const override { return "ZorpManUi"; }
    std::string GetSkinBaseName() const override { return "mainui"; }
    ControlSpecs GetNamedControls() const override { return NamedControls(); }

    // Each window keeps the other; the drop window's handle is where the lists report to.
    void SetDndDlg(CDndUiDlg* dndDlg, platform::WindowHandle hDndWnd);

    // The start/pause button follows the transfers: any running upload or download makes it
    // "Pause", none leaves nothing to start.
    void changeBtns(int uploadsRunning, int downloadsRunning);
    void SetStartBtnState(int state);
    int GetStartBtnState() const { return m_startBtnState; }

    void SelectPage(int page);
    int GetCurrentPage() const;

    UploadQueue& GetUploadQueue() { return m_upldQueue; }
    const UploadQueue& GetUploadQueue() const { return m_upldQueue; }
    DownloadQueue& GetDownloadQueue() { return m_dnldQueue; }
    const DownloadQueue& GetDownloadQueue() const { return m_dnldQueue; }
    CDnldPage& GetDownloadPage() { return m_dnldPage; }
    CUpldPage& GetUploadPage() { return m_upldPage; }
    CHistoryPage& GetHistoryPage() { return m_histPage; }

protected:
    void InitWindow() override;
    void Notify(const UiNotify& notify) override;
    int64_t HandleCustomMessage(platform::Message& message, bool& handled) override;
    // Shown wholly inside the available area of its screen; where the user moved it is kept
    // for the next start when it is hidden.
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    // Ctrl+1, Ctrl+2, Ctrl+3 choose a page; Ctrl+Tab and Ctrl+Shift+Tab the next or previous.
    void AddPageShortcuts();
    void MovePlaced(const QPoint& topLeft);
    // The start/pause button after a change of either queue's counts.
    void UpdateStartBtn();

    CDndUiDlg* m_pDndDlg = nullptr;
    platform::WindowHandle m_hDndWnd = platform::kNoWindow;
    int m_startBtnState = kNothingToStart;
    bool m_placing = false;     // the window moves itself
    bool m_userMoved = false;   // moved while shown, not by itself
    UploadQueue m_upldQueue;
    CUpldPage m_upldPage{m_upldQueue};
    DownloadQueue m_dnldQueue;
    CDnldPage m_dnldPage{m_dnldQueue};
    CHistoryPage m_histPage;

    QStackedWidget* m_pTabMain = nullptr;
    QPushButton* m_pUpldOption = nullptr;
    QPushButton* m_pDnldOption = nullptr;
    QPushButton* m_pHistoryOption = nullptr;
    QListWidget* m_pUpldList = nullptr;
    QListWidget* m_pDnldList = nullptr;
    QListWidget* m_pHistList = nullptr;
    QPushButton* m_pStartBtn = nullptr;
    QPushButton* m_pCancelBtn = nullptr;
    QLabel* m_pUpldNumLabel = nullptr;
    QLabel* m_pDnldNumLabel = nullptr;
};
