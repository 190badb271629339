#include "ui/CAutoBackupUiDlg.h"

#include <QFile>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

#include "core/CommonUtils.h"
#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/WindowRegistry.h"
#include "ui/CFolderChooserDlg.h"
#include "ui/SkinImage.h"

namespace fs = std::filesystem;
using Kind = ControlSpec::Kind;

namespace {

constexpr uint32_t kTextCaption = 117;  // "AutoBackupConfiguration"
constexpr uint32_t kTextChoose = 119;   // "Please choose folders to backup"
constexpr uint32_t kTextOk = 120;       // "OK"
constexpr uint32_t kTextNote = 121;     // "NOTE"
constexpr uint32_t kTextCancel = 147;   // "Cancel"

constexpr const char* kFolderImage = "file='cdSmall_4.png' dest='0,4,16,20'";
constexpr const char* kDeleteImage = "file='btn_del.png' dest='4,4,20,20'";
constexpr const char* kDirNameColour = "#5f7689";
constexpr const char* kSeparatorColour = "#e1e1e3";  // the skins' #FFE1E1E3

// In the language the skins were chosen by, so that the window's texts and its skin agree.
QString Text(uint32_t id) {
    return QString::fromStdString(
        CMultiLanguageMgr::LoadString(id, COptions::GetInstance().m_uiLanguage.load()));
}

QString Display(const fs::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

// The first `count` UTF-16 units, never half of a surrogate pair.
QString Cut(const QString& text, qsizetype count) {
    count = std::max<qsizetype>(count, 0);
    if (count > 0 && count < text.size() && text.at(count - 1).isHighSurrogate()) {
        --count;
    }
    return text.left(count);
}

// Letter case aside, as the options compare backup paths.
bool SameFolderIgnoringCase(const fs::path& a, const fs::path& b) {
    const std::string& x = a.native();
    const std::string& y = b.native();
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return x.size() == y.size() &&
           std::equal(x.begin(), x.end(), y.begin(),
                      [&](char p, char q) { return lower(p) == lower(q); });
}

// "/a/b/" and "/a/b" are one folder.
fs::path Tidy(const fs::path& folder) {
    fs::path tidy = folder.lexically_normal();
    if (tidy.has_relative_path() && !tidy.has_filename()) {
        tidy = tidy.parent_path();
    }
    return tidy;
}

}  // namespace

CAutoBackupUiDlg::CAutoBackupUiDlg() : m_chooser(&CFolderChooserDlg::Choose) {}

CAutoBackupUiDlg::~CAutoBackupUiDlg() = default;

ControlSpecs CAutoBackupUiDlg::NamedControls() {
    return {{"autobackup_list", Kind::kList}, {"addConfirmBtn", Kind::kButton},
            {"addCancelBtn", Kind::kButton},  {"closeBtn", Kind::kButton},
            {"addFoldBtn", Kind::kButton},    {"speedEdit", Kind::kEdit},
            {"abHintLabel", Kind::kLabel},    {"abNoteLabel", Kind::kLabel}};
}

QRect CAutoBackupUiDlg::DefaultGeometry(const QRect& screen) {
    QRect geometry(QPoint(0, 0), kSize);
    geometry.moveCenter(screen.center());
    return geometry;
}

void CAutoBackupUiDlg::Init(const QRect& screen, platform::WindowHandle notifyWindow) {
    m_notifyWindow = notifyWindow;
    WindowImplBase::Style style;
    style.minimizeBox = false;
    Create(Text(kTextCaption).toStdString(), DefaultGeometry(screen), style);
}

void CAutoBackupUiDlg::InitWindow() {
    m_pList = FindControl<QListWidget>("autobackup_list");
    m_pAddBtn = FindControl<QPushButton>("addFoldBtn");
    m_pConfirmBtn = FindControl<QPushButton>("addConfirmBtn");
    m_pCancelBtn = FindControl<QPushButton>("addCancelBtn");
    m_pCloseBtn = FindControl<QPushButton>("closeBtn");
    m_pSpeedEdit = FindControl<QLineEdit>("speedEdit");
    m_pNote = FindControl<QLabel>("abNoteLabel");
    setAccessibleName(windowTitle());

    // The texts the program puts in, in the UI language.
    if (auto* hint = FindControl<QLabel>("abHintLabel")) {
        hint->setText(Text(kTextChoose));
        hint->setWordWrap(true);
        if (m_pList) {
            hint->setBuddy(m_pList);
        }
    }
    if (m_pConfirmBtn) {
        m_pConfirmBtn->setText(Text(kTextOk));
        m_pConfirmBtn->setDefault(true);
    }
    if (m_pCancelBtn) {
        m_pCancelBtn->setText(Text(kTextCancel));
    }
    if (m_pList) {
        if (m_pList->accessibleName().isEmpty()) {
            m_pList->setAccessibleName(Text(kTextChoose));
        }
        m_pList->setSelectionMode(QAbstractItemView::NoSelection);
        m_pList->setFocusPolicy(Qt::StrongFocus);
    }
    if (m_pCloseBtn && m_pCloseBtn->accessibleName().isEmpty()) {
        m_pCloseBtn->setAccessibleName(Text(kTextCancel));
    }
    if (m_pSpeedEdit) {
        if (auto* speedLabel = FindControl<QLabel>("abSpeedLabel")) {
            speedLabel->setBuddy(m_pSpeedEdit);
            if (m_pSpeedEdit->accessibleName().isEmpty()) {
                m_pSpeedEdit->setAccessibleName(speedLabel->text());
            }
        }
        // Enter in the field is OK, as in the rest of the window.
        QObject::connect(m_pSpeedEdit, &QLineEdit::returnPressed, this, [this] { Confirm(); });
        QObject::connect(m_pSpeedEdit, &QLineEdit::textEdited, this, [this] { HideNote(); });
    }
    for (QPushButton* button : {m_pAddBtn, m_pConfirmBtn, m_pCancelBtn, m_pCloseBtn}) {
        if (button) {
            button->setFocusPolicy(Qt::StrongFocus);
            // Enter on the focused button presses it, as Space does.
            button->setAutoDefault(true);
            if (button->accessibleName().isEmpty()) {
                button->setAccessibleName(button->text());
            }
        }
    }
    if (m_pNote) {
        m_pNote->setAccessibleName(Text(kTextNote));
        m_pNote->hide();
    }
}

// ---- showing ----

void CAutoBackupUiDlg::ShowDlg() {
    // Asked again while open (the page, the menu): brought to the front as it is, so the
    // user's unconfirmed changes stay.
    const bool wasOpen = isVisible();
    if (!wasOpen) {
        Refresh();
    }
    ShowWindow(true, true);
    // In front of whatever the user is working in.
    raise();
    activateWindow();
    if (wasOpen) {
        return;
    }
    if (m_pAddBtn && m_pAddBtn->isEnabled()) {
        m_pAddBtn->setFocus();
    } else if (m_pSpeedEdit) {
        m_pSpeedEdit->setFocus();
    }
}

std::vector<fs::path> CAutoBackupUiDlg::SavedFolders() const {
    std::vector<fs::path> saved;
    for (const auto& record : COptions::GetInstance().GetBackupRecords()) {
        saved.push_back(record.path);
    }
    return saved;
}

void CAutoBackupUiDlg::Refresh() {
    // The saved choice is shown offline too: it is a local setting, and an empty list
    // confirmed there would drop every folder.
    ClearRows();
    HideNote();
    for (const fs::path& folder : SavedFolders()) {
        AddRow(folder);
        m_folders.push_back(folder);
    }
    if (m_pSpeedEdit) {
        m_pSpeedEdit->setText(QString::number(COptions::GetInstance().GetAutoBackupSpeed()));
    }
    UpdateAddButton();
    if (!HasUser() && m_pNote) {
        ShowNote(m_pNote->property("signInFirst").toString());
    }
}

bool CAutoBackupUiDlg::HasUser() {
    // The folders are stored under the signed-in user's id; stored under none they would never
    // be read back, and the choice would be lost at the next start.
    return COptions::GetInstance().GetUserId() != 0;
}

// ---- rows ----

QString CAutoBackupUiDlg::RowText(const fs::path& folder) {
    const fs::path tidy = Tidy(folder);
    QString name = Display(tidy.filename());
    QString location = Display(tidy.parent_path());
    if (name.isEmpty()) {
        return Display(tidy);  // "/"
    }
    if (name.size() > 30) {
        name = Cut(name, 24) + QStringLiteral("....");
    }
    if (location.size() > 58 - name.size()) {
        location = Cut(location, 52 - name.size()) + QStringLiteral("....");
    }
    return name + QStringLiteral("(") + location + QStringLiteral(")");
}

void CAutoBackupUiDlg::AddRow(const fs::path& folder) {
    if (!m_pList) {
        return;
    }
    auto* row = new QWidget();
    row->setObjectName(QStringLiteral("autobackup_row"));
    auto* outer = new QVBoxLayout(row);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addSpacing(4);

    auto* line = new QHBoxLayout();
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(0);
    line->addSpacing(12);
    auto* icon = new QLabel(row);
    icon->setObjectName(QStringLiteral("file_img"));
    icon->setFixedWidth(16);
    icon->setMaximumHeight(28);
    icon->setAccessibleName(QStringLiteral("folder"));
    SkinImage::Apply(icon, kFolderImage);
    line->addWidget(icon);
    line->addSpacing(3);

    auto* name = new QLabel(RowText(folder), row);
    name->setObjectName(QStringLiteral("dir_name"));
    name->setToolTip(Display(folder));
    name->setAccessibleName(Display(folder));
    name->setStyleSheet(QStringLiteral("color: %1;").arg(QString::fromLatin1(kDirNameColour)));
    // The row text is cut by its own rule; the label must not widen the window.
    name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    line->addWidget(name, 1);

    auto* remove = new QPushButton(row);
    remove->setObjectName(QStringLiteral("del_btn"));
    remove->setFlat(true);
    remove->setFixedWidth(30);
    remove->setMaximumHeight(28);
    remove->setFocusPolicy(Qt::StrongFocus);
    remove->setAccessibleName(Text(kTextCancel) + QStringLiteral(" ") + Display(folder));
    remove->setToolTip(remove->accessibleName());
    SkinImage::Apply(remove, kDeleteImage);
    line->addWidget(remove);
    outer->addLayout(line, 1);

    auto* separator = new QWidget(row);
    separator->setFixedHeight(1);
    separator->setStyleSheet(
        QStringLiteral("background: %1;").arg(QString::fromLatin1(kSeparatorColour)));
    outer->addSpacing(1);
    outer->addWidget(separator);

    auto* item = new QListWidgetItem(m_pList);
    item->setSizeHint(QSize(0, kRowHeight));
    m_pList->setItemWidget(item, row);
    QObject::connect(remove, &QPushButton::clicked, this, [this, row] {
        for (int i = 0; i < m_pList->count(); ++i) {
            if (m_pList->itemWidget(m_pList->item(i)) == row) {
                RemoveFolder(i);
                return;
            }
        }
    });
}

void CAutoBackupUiDlg::ClearRows() {
    if (m_pList) {
        m_pList->clear();
    }
    m_folders.clear();
}

void CAutoBackupUiDlg::UpdateAddButton() {
    if (m_pAddBtn) {
        m_pAddBtn->setEnabled(HasUser() && static_cast<int>(m_folders.size()) < kMaxFolders);
    }
}

// ---- the user's changes ----

void CAutoBackupUiDlg::OnAddFolder() {
    if (!HasUser() || static_cast<int>(m_folders.size()) >= kMaxFolders || !m_chooser) {
        return;
    }
    HideNote();
    const std::vector<fs::path> chosen = m_chooser(this);
    AddFolders(chosen);
    // Back to the window after the modal chooser.
    activateWindow();
}

int CAutoBackupUiDlg::AddFolders(const std::vector<fs::path>& chosen) {
    if (!HasUser()) {
        return 0;
    }
    int added = 0;
    bool overflow = false;
    for (const fs::path& raw : chosen) {
        const fs::path folder = Tidy(raw);
        if (folder.empty()) {
            continue;
        }
        const bool listed = std::any_of(m_folders.begin(), m_folders.end(), [&](const fs::path& f) {
            return SameFolderIgnoringCase(f, folder);
        });
        if (listed) {
            VLOG(1) << "CAutoBackupUiDlg - already listed: " << folder;
            continue;
        }
        if (static_cast<int>(m_folders.size()) >= kMaxFolders) {
            overflow = true;
            LOG(WARNING) << "CAutoBackupUiDlg - not added, 5 folders listed: " << folder;
            continue;
        }
        AddRow(folder);
        m_folders.push_back(folder);
        ++added;
    }
    UpdateAddButton();
    if (overflow && m_pNote) {
        ShowNote(m_pNote->property("tooManyFolders").toString());
    }
    return added;
}

void CAutoBackupUiDlg::RemoveFolder(int index) {
    if (index < 0 || index >= static_cast<int>(m_folders.size())) {
        return;
    }
    m_folders.erase(m_folders.begin() + index);
    if (m_pList) {
        delete m_pList->takeItem(index);
    }
    HideNote();
    UpdateAddButton();
    // The focus stays in the list instead of falling out of the window.
    if (m_pList && m_pList->count() > 0) {
        QWidget* row = m_pList->itemWidget(m_pList->item(std::min(index, m_pList->count() - 1)));
        if (auto* next = row ? row->findChild<QPushButton*>(QStringLiteral("del_btn")) : nullptr) {
            next->setFocus();
        }
    } else if (m_pAddBtn) {
        m_pAddBtn->setFocus();
    }
}

bool CAutoBackupUiDlg::IsChanged() const {
    // A folder removed and added again is no change, though it moved to the end.
    std::vector<fs::path> shown = m_folders;
    std::vector<fs::path> saved = SavedFolders();
    std::sort(shown.begin(), shown.end());
    std::sort(saved.begin(), saved.end());
    return shown != saved;
}

std::optional<int> CAutoBackupUiDlg::ParseSpeed(const QString& text) {
    const std::optional<int64_t> value = CommonUtils::StringToInt64(text.trimmed().toStdString());
    if (!value || *value < 0 || *value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

bool CAutoBackupUiDlg::Confirm() {
    COptions& options = COptions::GetInstance();
    const QString speedText = m_pSpeedEdit ? m_pSpeedEdit->text() : QString();
    const std::optional<int> speed =
        m_pSpeedEdit ? ParseSpeed(speedText) : std::optional<int>(options.GetAutoBackupSpeed());
    if (!speed) {
        // Nothing is stored: the user sees why and can put it right.
        LOG(WARNING) << "CAutoBackupUiDlg - backup speed refused: \"" << speedText.toStdString()
                     << "\"";
        ShowNote(m_pNote ? m_pNote->property("speedError").toString() : QString());
        if (m_pSpeedEdit) {
            m_pSpeedEdit->setFocus();
            m_pSpeedEdit->selectAll();
        }
        return false;
    }
    const bool changed = HasUser() && IsChanged();
    const std::vector<fs::path> folders = m_folders;
    ClearRows();
    HideNote();
    ShowWindow(false);
    if (*speed != options.GetAutoBackupSpeed()) {
        options.SetAutoBackupSpeed(*speed);
    }
    if (changed) {
        options.SetBackupPaths(folders);
        options.ApplyBackupSelection();
        VLOGF(1, "CAutoBackupUiDlg - %d backup folders confirmed", static_cast<int>(folders.size()));
        platform::PostMessage(m_notifyWindow,
                              platform::Message(WM_BACKUP_WORK, platform::MakePayload<int>(
                                                                    kBackupFoldersChanged)));
    }
    return true;
}

void CAutoBackupUiDlg::Cancel() {
    ClearRows();
    HideNote();
    ShowWindow(false);
    // Whatever was put in the options' backup paths and not applied goes back to the saved
    // choice.
    COptions::GetInstance().SetBackupPaths(SavedFolders());
}

// ---- the note ----

void CAutoBackupUiDlg::ShowNote(const QString& text) {
    if (!m_pNote) {
        return;
    }
    m_pNote->setText(Text(kTextNote) + QStringLiteral(": ") + text);
    m_pNote->setAccessibleDescription(text);
    m_pNote->show();
}

void CAutoBackupUiDlg::HideNote() {
    if (m_pNote) {
        m_pNote->hide();
        m_pNote->clear();
    }
}

QString CAutoBackupUiDlg::GetNoteText() const {
    return m_pNote && !m_pNote->isHidden() ? m_pNote->text() : QString();
}

// ---- input ----

void CAutoBackupUiDlg::Notify(const UiNotify& notify) {
    if (notify.sType != "click") {
        return;
    }
    if (notify.name == "addFoldBtn") {
        OnAddFolder();
    } else if (notify.name == "addConfirmBtn") {
        Confirm();
    } else if (notify.name == "addCancelBtn" || notify.name == "closeBtn") {
        Cancel();
    }
}

void CAutoBackupUiDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        Cancel();
        event->accept();
        return;
    }
    WindowImplBase::keyPressEvent(event);
}
