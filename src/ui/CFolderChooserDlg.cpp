#include "ui/CFolderChooserDlg.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include <algorithm>
#include <system_error>

#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kTextChoose = 119;  // "Please choose folders to backup"
constexpr uint32_t kTextOk = 120;      // "OK"
constexpr uint32_t kTextCancel = 157;  // "Cancel"

// In the language the skins were chosen by, so that the window's texts and its skin agree.
QString Text(uint32_t id) {
    return QString::fromStdString(
        CMultiLanguageMgr::LoadString(id, COptions::GetInstance().m_uiLanguage.load()));
}

QString DisplayName(const fs::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

struct Subfolder {
    fs::path path;
    QString name;
};

// The visible subfolders of `folder`, sorted by name regardless of case. A folder that cannot
// be read has none; an entry that cannot be looked at is skipped.
std::vector<Subfolder> ListSubfolders(const fs::path& folder) {
    std::vector<Subfolder> found;
    std::error_code ec;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec) {
        VLOG(1) << "CFolderChooserDlg - cannot list " << folder << ": " << ec.message();
        return found;
    }
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            break;
        }
        const fs::path& path = it->path();
        const std::string name = path.filename().string();
        if (name.empty() || name.front() == '.') {
            continue;
        }
        std::error_code statError;
        const fs::file_status status = fs::symlink_status(path, statError);
        if (statError || !fs::is_directory(status)) {
            continue;
        }
        found.push_back({path, DisplayName(path.filename())});
    }
    std::sort(found.begin(), found.end(), [](const Subfolder& a, const Subfolder& b) {
        const int order = QString::compare(a.name, b.name, Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a.name < b.name;
    });
    return found;
}

}  // namespace

CFolderChooserDlg::CFolderChooserDlg(QWidget* parent, std::vector<fs::path> roots)
    : QDialog(parent) {
    setObjectName(QStringLiteral("folderChooser"));
    setWindowTitle(Text(kTextChoose));
    setAccessibleName(Text(kTextChoose));
    setModal(true);
    resize(420, 460);

    auto* layout = new QVBoxLayout(this);
    auto* hint = new QLabel(Text(kTextChoose), this);
    hint->setObjectName(QStringLiteral("chooserHint"));
    hint->setWordWrap(true);
    layout->addWidget(hint);

    m_tree = new QTreeWidget(this);
    m_tree->setObjectName(QStringLiteral("folderTree"));
    m_tree->setAccessibleName(Text(kTextChoose));
    m_tree->setHeaderHidden(true);
    m_tree->setColumnCount(1);
    m_tree->setUniformRowHeights(true);
    m_tree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_tree->header()->setStretchLastSection(false);
    hint->setBuddy(m_tree);
    layout->addWidget(m_tree, 1);

    m_buttons = new QDialogButtonBox(this);
    m_buttons->setObjectName(QStringLiteral("chooserButtons"));
    QPushButton* ok = m_buttons->addButton(Text(kTextOk), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("chooserOkBtn"));
    ok->setAccessibleName(Text(kTextOk));
    ok->setDefault(true);
    QPushButton* cancel = m_buttons->addButton(Text(kTextCancel), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("chooserCancelBtn"));
    cancel->setAccessibleName(Text(kTextCancel));
    layout->addWidget(m_buttons);
    QObject::connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    QObject::connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    QObject::connect(m_tree, &QTreeWidget::itemExpanded, this,
                     [this](QTreeWidgetItem* item) { LoadChildren(item); });

    for (const fs::path& root : roots) {
        std::error_code ec;
        if (root.empty() || !fs::is_directory(root, ec)) {
            continue;
        }
        m_tree->addTopLevelItem(NewItem(root, DisplayName(root)));
    }
    if (m_tree->topLevelItemCount() > 0) {
        m_tree->setCurrentItem(m_tree->topLevelItem(0));
    }
    m_tree->setFocus();
}

CFolderChooserDlg::~CFolderChooserDlg() = default;

std::vector<fs::path> CFolderChooserDlg::DefaultRoots() {
    std::vector<fs::path> roots;
    const QString home = QDir::homePath();
    if (!home.isEmpty() && home != QDir::rootPath()) {
        roots.emplace_back(QFile::encodeName(home).toStdString());
    }
    roots.emplace_back("/");
    return roots;
}

QTreeWidgetItem* CFolderChooserDlg::NewItem(const fs::path& folder, const QString& text) {
    auto* item = new QTreeWidgetItem(QStringList{text});
    item->setData(0, kPathRole, QByteArray::fromStdString(folder.native()));
    item->setData(0, kLoadedRole, false);
    item->setToolTip(0, DisplayName(folder));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Unchecked);
    // Whether it has subfolders is found out when it is opened.
    item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    return item;
}

fs::path CFolderChooserDlg::PathOf(const QTreeWidgetItem* item) {
    return item ? fs::path(item->data(0, kPathRole).toByteArray().toStdString()) : fs::path();
}

bool CFolderChooserDlg::IsLoaded(const QTreeWidgetItem* item) {
    return item && item->data(0, kLoadedRole).toBool();
}

void CFolderChooserDlg::LoadChildren(QTreeWidgetItem* item) {
    if (!item || IsLoaded(item)) {
        return;
    }
    item->setData(0, kLoadedRole, true);
    const std::vector<Subfolder> subfolders = ListSubfolders(PathOf(item));
    QList<QTreeWidgetItem*> children;
    children.reserve(static_cast<qsizetype>(subfolders.size()));
    for (const Subfolder& sub : subfolders) {
        children.append(NewItem(sub.path, sub.name));
    }
    item->addChildren(children);
    if (children.isEmpty()) {
        item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
    }
}

QTreeWidgetItem* CFolderChooserDlg::FindItem(const fs::path& folder) const {
    for (QTreeWidgetItemIterator it(m_tree); *it; ++it) {
        if (PathOf(*it) == folder) {
            return *it;
        }
    }
    return nullptr;
}

std::vector<fs::path> CFolderChooserDlg::GetCheckedFolders() const {
    std::vector<fs::path> checked;
    for (QTreeWidgetItemIterator it(m_tree, QTreeWidgetItemIterator::Checked); *it; ++it) {
        checked.push_back(PathOf(*it));
    }
    return checked;
}

std::vector<fs::path> CFolderChooserDlg::Choose(QWidget* parent) {
    CFolderChooserDlg chooser(parent);
    if (chooser.exec() != QDialog::Accepted) {
        return {};
    }
    return chooser.GetCheckedFolders();
}
