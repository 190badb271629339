#pragma once

#include <QPoint>

#include <filesystem>
#include <vector>

#include "ui/WindowImplBase.h"

class CMainUiDlg;
class QLabel;

// The floating drop window: a small frameless, always-on-top window onto which files are
// dropped for upload, which shows whether transfers run, and whose close handling ends the
// program. Every worker reports to it: its message handlers are where the request dispatcher
// lives once it exists.
class CDndUiDlg : public WindowImplBase {
public:
    // Window modes: the two transfer directions and the idle look.
    enum Mode { kUploadMode = 0, kDownloadMode = 1, kIdleMode = 2 };

    CDndUiDlg();
    ~CDndUiDlg() override;

    // 131 x 36, 240 pixels left of the available area's right edge and 34 below its top.
    static QRect DefaultGeometry(const QRect& available);
    static ControlSpecs NamedControls();

    std::string GetWindowClassName() const override { return "ZorpDndUi"; }
    std::string GetSkinBaseName() const override { return "dnd"; }
    ControlSpecs GetNamedControls() const override { return NamedControls(); }

    void SetMainDlg(CMainUiDlg* mainDlg) { m_pMainDlg = mainDlg; }
    // The look and state the window starts with.
    void InitDlg();
    void SetWindowMode(int mode);
    int GetWindowMode() const { return m_windowMode; }

    // The user's hide command: hides the window and remembers it for the next start.
    void HideFloatWindow();

    // The closing order; runs once. Called by the close command before the loop ends.
    void OnClose();
    bool IsClosing() const { return m_closing; }

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

    CMainUiDlg* m_pMainDlg = nullptr;
    QLabel* m_pTxtLabel = nullptr;
    QLabel* m_pImgLabel = nullptr;
    QLabel* m_pNullLabel = nullptr;
    int m_windowMode = kIdleMode;
    bool m_closing = false;
    QPoint m_dragOffset;
    bool m_dragging = false;
};
