#pragma once

#include <QRect>
#include <QSize>
#include <QString>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Message.h"
#include "ui/WindowImplBase.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

// The automatic backup settings: the local folders that are backed up (at most 5) and the
// backup speed. The user adds folders with the folder chooser (CFolderChooserDlg), removes them
// with the button of their row and edits the speed; OK stores both in the options, cancel and
// close forget everything chosen in this visit. Created hidden by the drop window, shown by its
// menu or the page (message 0x861), hidden again by OK, cancel and close.
//
// The chosen folders live in the window until OK: the options hold the saved choice the whole
// time, so the backup engine never sees a half-made selection.
class CAutoBackupUiDlg : public WindowImplBase {
public:
    static constexpr int kMaxFolders = 5;
    static constexpr QSize kSize{430, 400};
    static constexpr int kRowHeight = 35;

    // Opens the folder chooser over `parent` and returns the folders the user chose (nothing
    // when cancelled). The program uses CFolderChooserDlg::Choose.
    using FolderChooser = std::function<std::vector<std::filesystem::path>(QWidget* parent)>;

    CAutoBackupUiDlg();
    ~CAutoBackupUiDlg() override;

    static ControlSpecs NamedControls();
    std::string GetWindowClassName() const override { return "ZorpAutoBackupUi"; }
    std::string GetSkinBaseName() const override { return "autobackup"; }
    ControlSpecs GetNamedControls() const override { return NamedControls(); }

    // 430 x 400, centred on the screen's full area.
    static QRect DefaultGeometry(const QRect& screen);
    // Builds it hidden with the caption string 117; a confirmed change of the folders is
    // posted to `notifyWindow` (the drop window) as WM_BACKUP_WORK (kBackupFoldersChanged).
    void Init(const QRect& screen, platform::WindowHandle notifyWindow);

    // Loads the saved choice and shows the window in front of the others.
    void ShowDlg();
    // The list and the speed field from the options.
    void Refresh();

    void SetFolderChooser(FolderChooser chooser) { m_chooser = std::move(chooser); }

    // The add button: the chooser, then AddFolders with what it returned.
    void OnAddFolder();
    // Appends the folders not yet listed (letter case aside, as the options compare paths),
    // up to 5 in all. Returns how many were added.
    int AddFolders(const std::vector<std::filesystem::path>& chosen);
    void RemoveFolder(int index);
    // OK: false when the speed text was refused (the window stays open with a note and
    // nothing is stored).
    bool Confirm();
    // Cancel and close: nothing chosen in this visit is kept.
    void Cancel();

    const std::vector<std::filesystem::path>& GetShownFolders() const { return m_folders; }
    // The shown folders differ from the saved choice.
    bool IsChanged() const;
    // The note under the speed field, empty while none is shown.
    QString GetNoteText() const;

    // "name(location)", a name over 30 characters cut to 24 and "....", a location over
    // 58 - (name length) cut to 52 - (name length) and "....".
    static QString RowText(const std::filesystem::path& folder);
    // Parses the speed field: a decimal integer from 0 to INT_MAX, blanks around it allowed.
    static std::optional<int> ParseSpeed(const QString& text);

protected:
    void InitWindow() override;
    void Notify(const UiNotify& notify) override;
    void OnCloseCommand() override { Cancel(); }
    void keyPressEvent(QKeyEvent* event) override;

private:
    void AddRow(const std::filesystem::path& folder);
    void ClearRows();
    void UpdateAddButton();
    void ShowNote(const QString& text);
    void HideNote();
    std::vector<std::filesystem::path> SavedFolders() const;
    // Folders can be chosen only while the page has told who is signed in.
    static bool HasUser();

    platform::WindowHandle m_notifyWindow = platform::kNoWindow;
    FolderChooser m_chooser;
    std::vector<std::filesystem::path> m_folders;  // in the order shown
    QListWidget* m_pList = nullptr;
    QPushButton* m_pAddBtn = nullptr;
    QPushButton* m_pConfirmBtn = nullptr;
    QPushButton* m_pCancelBtn = nullptr;
    QPushButton* m_pCloseBtn = nullptr;
    QLineEdit* m_pSpeedEdit = nullptr;
    QLabel* m_pNote = nullptr;
};
