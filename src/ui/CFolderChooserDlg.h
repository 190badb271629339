#pragma once

#include <QDialog>

#include <filesystem>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;
class QDialogButtonBox;

// The folder chooser of the backup settings: a modal tree of the local folders, starting at
// the home folder and at "/", in which several folders can be ticked. A folder's subfolders are
// listed only when it is first opened, so the tree never walks more of the disk than the user
// looks at. Hidden folders (names beginning with ".") and symbolic links are left out: a link
// would show the same folder twice, or lead round in a circle.
//
// Keyboard: the arrows move and open folders, Space ticks, Enter chooses, Escape cancels.
class CFolderChooserDlg : public QDialog {
public:
    // The item data holding a folder's path as its native bytes (names need not be UTF-8).
    static constexpr int kPathRole = Qt::UserRole;
    // Set once the folder's subfolders were listed.
    static constexpr int kLoadedRole = Qt::UserRole + 1;

    explicit CFolderChooserDlg(QWidget* parent = nullptr,
                               std::vector<std::filesystem::path> roots = DefaultRoots());
    ~CFolderChooserDlg() override;

    // The home folder, then "/".
    static std::vector<std::filesystem::path> DefaultRoots();

    // The ticked folders in the order of the tree; empty when nothing is ticked.
    std::vector<std::filesystem::path> GetCheckedFolders() const;

    // Opens the chooser over `parent` and waits for the user: the ticked folders, or nothing
    // when the user cancelled.
    static std::vector<std::filesystem::path> Choose(QWidget* parent);

    QTreeWidget* Tree() const { return m_tree; }
    static std::filesystem::path PathOf(const QTreeWidgetItem* item);
    static bool IsLoaded(const QTreeWidgetItem* item);
    // The item of a folder already in the tree (its parents opened), null otherwise.
    QTreeWidgetItem* FindItem(const std::filesystem::path& folder) const;
    // Lists the folder's subfolders under its item, once.
    void LoadChildren(QTreeWidgetItem* item);

private:
    QTreeWidgetItem* NewItem(const std::filesystem::path& folder, const QString& text);

    QTreeWidget* m_tree = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};
