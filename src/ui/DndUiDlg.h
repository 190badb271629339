#pragma once

#include <QPoint>
#include <QTimer>

#include <filesystem>
#include <memory>
#include <vector>

#include "dispatch/IDispatcherView.h"
#include "dispatch/RequestDispatcher.h"
#include "ui/ClipboardOffer.h"
#include "ui/TransferFigures.h"
#include "ui/WindowImplBase.h"

class CAutoBackupUiDlg;
class CMainUiDlg;
class CMenuWnd;
class CToolTipUiDlg;
class QLabel;

// The floating drop window: a small frameless, always-on-top window onto which files are
// dropped for upload, which shows whether transfers run, and whose close handling ends the
// program. Every worker reports to it; it hands the program's messages to the request
// dispatcher it owns (RequestDispatcher) and draws what the dispatcher decides.
//
// Its user input: the left button drags it (and hides the tooltip), a double-click opens the
// transfer manager, the right button, the menu key or Shift+F10 open its menu (CMenuWnd),
// hovering shows the transfer figures (CToolTipUiDlg) while transfers run, and dropped files
// upload into the cloud disk's top folder. It stays inside the available area of its screen.
class CDndUiDlg : public WindowImplBase, public IDispatcherView {
public:
    // Timer of the alternating icon while uploads and downloads both run.
    static constexpr uint32_t kTimerIconAlternation = 1100;
    static constexpr uint32_t kIconAlternationMs = 2000;
    // Timer that hides the tooltip window unless the pointer is over it.
    static constexpr uint32_t kTimerTooltip = 1008;
    static constexpr uint32_t kTooltipMs = 2000;

    CDndUiDlg();
    ~CDndUiDlg() override;

    // 131 x 36, 240 pixels left of the available area's right edge and 34 below its top.
    static QRect DefaultGeometry(const QRect& available);
    static ControlSpecs NamedControls();

    std::string GetWindowClassName() const override { return "ZorpDndUi"; }
    std::string GetSkinBaseName() const override { return "dnd"; }
    ControlSpecs GetNamedControls() const override { return NamedControls(); }

    void SetMainDlg(CMainUiDlg* mainDlg) { m_pMainDlg = mainDlg; }
    // The backup settings window, made hidden by the program; the drop window owns it from
    // then on and destroys it with itself.
    void SetAutoBackupDlg(std::unique_ptr<CAutoBackupUiDlg> dlg);
    CAutoBackupUiDlg* GetAutoBackupDlg() const { return m_autoBackup.get(); }
    // The look the window starts with, and the dispatcher's start: the stored uploads resume.
    void InitDlg();
    RequestDispatcher& GetDispatcher() { return m_dispatcher; }

    // The user's hide command: hides the window, remembers it for the next start and tells a
    // connected page.
    void HideFloatWindow();

    // The closing order; runs once. Called by the close command before the loop ends.
    void OnClose();
    bool IsClosing() const { return m_dispatcher.IsClosing(); }

    // The status text as the states have it: offline, paused, the speed of the direction
    // shown while transfers run, the idle text otherwise.
    void UpdateStatusText();

    // The menu at a point of the desktop, its items following the transfer state.
    void OpenMenu(const QPoint& globalPos);
    // Hovering: the hover look with no transfer active, the tooltip with transfers.
    void OnHover(const QPoint& globalPos);
    // The window back inside the available area of its screen, if it left it.
    void KeepOnScreen();

    // Owned windows (the menu is made when first opened), for the program and its tests.
    CMenuWnd* GetMenu() const { return m_menu.get(); }
    CToolTipUiDlg* GetToolTip() const { return m_tooltip.get(); }
    bool IsHoverLook() const { return m_hoverLook; }
    const TransferFigures& GetFigures() const { return m_figures; }

    // IDispatcherView
    void SetWindowMode(int mode) override;
    int GetWindowMode() const override { return m_windowMode; }
    void ShowStatusText(const std::string& text) override;
    void StartIconAlternation() override;
    void RefreshSpeedText() override;
    void ZeroSpeeds() override;
    void OnTxStateChanged(TxState before, TxState after) override;
    bool IsWindowVisible() const override;
    void SetWindowVisible(bool visible) override;
    void CloseAuxiliaryWindows() override;
    void ShowTransferManager(int page) override;
    void ShowBackupSettings() override;
    void OfferClipboardFile(const std::string& path) override;
    void HideAllWindows() override;
    void QuitMessageLoop(int exitCode) override;

protected:
    void InitWindow() override;
    void Notify(const UiNotify& notify) override;
    int64_t HandleCustomMessage(platform::Message& message, bool& handled) override;
    // Closing the drop window ends the program.
    void OnCloseCommand() override;

    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void OnFilesDropped(const std::vector<std::filesystem::path>& paths);
    void OnMenuCommand(const std::string& item);
    void OnIconAlternation();
    void OnTooltipTimer();
    void ToggleBackupSettings();
    void HideToolTip();
    void SetHoverLook(bool hover);
    // The figures of both directions, looked at now.
    void ObserveTransfers();
    // The user left the window somewhere: kept on screen, and remembered for the next start.
    void OnMoveSettled();
    // The direction whose figures the label shows.
    int ShownDirection() const;

    CMainUiDlg* m_pMainDlg = nullptr;
    RequestDispatcher m_dispatcher{*this};
    ClipboardOffer m_clipboardOffer{[this] { m_dispatcher.OnClipboardReleased(); }};
    QLabel* m_pTxtLabel = nullptr;
    QLabel* m_pImgLabel = nullptr;
    QLabel* m_pNullLabel = nullptr;
    int m_windowMode = kIdleMode;
    QPoint m_dragOffset;
    bool m_dragging = false;
    bool m_userMoved = false;  // a drag began; the place it ends in is remembered
    bool m_hoverLook = false;
    bool m_dragOver = false;   // files are being dragged over the window
    QTimer m_moveSettle;       // a drag has ended when the moves stop for a moment
    std::unique_ptr<CMenuWnd> m_menu;
    std::unique_ptr<CToolTipUiDlg> m_tooltip;
    std::unique_ptr<CAutoBackupUiDlg> m_autoBackup;
    TransferFigures m_figures;
};
