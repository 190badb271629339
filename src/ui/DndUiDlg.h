#pragma once

#include <QPoint>

#include <filesystem>
#include <vector>

#include "dispatch/IDispatcherView.h"
#include "dispatch/RequestDispatcher.h"
#include "ui/ClipboardOffer.h"
#include "ui/WindowImplBase.h"

class CMainUiDlg;
class QLabel;

// The floating drop window: a small frameless, always-on-top window onto which files are
// dropped for upload, which shows whether transfers run, and whose close handling ends the
// program. Every worker reports to it; it hands the program's messages to the request
// dispatcher it owns (RequestDispatcher) and draws what the dispatcher decides.
class CDndUiDlg : public WindowImplBase, public IDispatcherView {
public:
    // Timer of the alternating icon while uploads and downloads both run.
    static constexpr uint32_t kTimerIconAlternation = 1100;

    CDndUiDlg();
    ~CDndUiDlg() override;

    // 131 x 36, 240 pixels left of the available area's right edge and 34 below its top.
    static QRect DefaultGeometry(const QRect& available);
    static ControlSpecs NamedControls();

    std::string GetWindowClassName() const override { return "ZorpDndUi"; }
    std::string GetSkinBaseName() const override { return "dnd"; }
    ControlSpecs GetNamedControls() const override { return NamedControls(); }

    void SetMainDlg(CMainUiDlg* mainDlg) { m_pMainDlg = mainDlg; }
    // The look the window starts with, and the dispatcher's start: the stored uploads resume.
    void InitDlg();
    RequestDispatcher& GetDispatcher() { return m_dispatcher; }

    // The user's hide command: hides the window, remembers it for the next start and tells a
    // connected page.
    void HideFloatWindow();

    // The closing order; runs once. Called by the close command before the loop ends.
    void OnClose();
    bool IsClosing() const { return m_dispatcher.IsClosing(); }

    // IDispatcherView
    void SetWindowMode(int mode) override;
    int GetWindowMode() const override { return m_windowMode; }
    void ShowStatusText(const std::string& text) override;
    void StartIconAlternation() override;
    void RefreshSpeedText() override;
    void ZeroSpeeds() override;
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
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void OnFilesDropped(const std::vector<std::filesystem::path>& paths);
    void OnMenuCommand(const std::string& item);
    void OnIconAlternation();

    CMainUiDlg* m_pMainDlg = nullptr;
    RequestDispatcher m_dispatcher{*this};
    ClipboardOffer m_clipboardOffer{[this] { m_dispatcher.OnClipboardReleased(); }};
    QLabel* m_pTxtLabel = nullptr;
    QLabel* m_pImgLabel = nullptr;
    QLabel* m_pNullLabel = nullptr;
    int m_windowMode = kIdleMode;
    QPoint m_dragOffset;
    bool m_dragging = false;
};
