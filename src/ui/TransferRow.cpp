#include "ui/TransferRow.h"

#include <QColor>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QVariant>

#include <algorithm>

#include "core/CommonUtils.h"
#include "core/MultiLanguage.h"
#include "ui/PaintManagerUI.h"
#include "ui/SkinImage.h"

namespace {

constexpr const char* kIdProperty = "zorpRowId";
constexpr const char* kFileProperty = "zorpRowFile";
constexpr const char* kPrefixProperty = "zorpRowPrefix";
constexpr const char* kFinishedProperty = "zorpRowFinished";
constexpr const char* kActionsName = "row_actions";

// String table entries of the links and of the buttons' accessible names.
constexpr uint32_t kTextOpen = 137;    // "Open"
constexpr uint32_t kTextFolder = 138;  // "Folder"
constexpr uint32_t kTextRetry = 139;   // "Retry"
constexpr uint32_t kTextStart = 107;   // "Start"
constexpr uint32_t kTextPause = 108;   // "Pause"
constexpr uint32_t kTextDelete = 110;  // "Destroy"

QString Text(uint32_t id) {
    return QString::fromStdString(CMultiLanguageMgr::GetInstance().LoadString(id));
}

// The row's controls are named "<prefix>_...", the row itself "<prefix>_row"; the name is read
// instead of the prefix property, which costs a property lookup on every update of the row.
constexpr QLatin1String kRowSuffix("_row");

template <typename T>
T* Own(const QWidget* row, const char* suffix) {
    if (!row) {
        return nullptr;
    }
    QString name = row->objectName();
    if (!name.endsWith(kRowSuffix)) {
        return nullptr;
    }
    name.chop(kRowSuffix.size());
    return row->findChild<T*>(name + QLatin1String(suffix));
}

QLabel* NewLabel(const std::string& name, const QString& role, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromStdString(name));
    label->setAccessibleName(role);
    return label;
}

// Qt reads "#AARRGGBB" as the skins write colours; style sheets want "#RRGGBB".
QString Rgb(const char* argb) { return QColor(QString::fromLatin1(argb)).name(QColor::HexRgb); }

QPushButton* NewButton(const char* name, const char* image, const QString& role, int32_t id,
                       QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setFlat(true);
    button->setFixedSize(20, 36);
    button->setProperty(kIdProperty, id);
    button->setAccessibleName(role);
    button->setToolTip(role);
    button->setFocusPolicy(Qt::StrongFocus);
    SkinImage::Apply(button, image);
    return button;
}

QPushButton* NewLink(const char* name, const QString& text, int32_t id,
                     const std::filesystem::path& file, QWidget* parent) {
    auto* link = new QPushButton(text, parent);
    link->setObjectName(QString::fromLatin1(name));
    link->setFlat(true);
    link->setCursor(Qt::PointingHandCursor);
    link->setProperty(kIdProperty, id);
    link->setProperty(kFileProperty, QString::fromStdString(file.string()));
    link->setAccessibleName(text);
    link->setFocusPolicy(Qt::StrongFocus);
    return link;
}

// Holds the place of a link that has nothing to act on, so that the rows stay aligned.
QLabel* NewInert(const char* name, const QString& like, const QString& role, QWidget* parent) {
    auto* inert = NewLabel(name, role, parent);
    inert->setFixedWidth(inert->fontMetrics().horizontalAdvance(like) + 4);
    return inert;
}

}  // namespace

QString TransferRow::StyleSheet(const std::string& prefix) {
    const auto url = [](const char* file) {
        return QString::fromStdString(CPaintManagerUI::FindResourceFile(file).string());
    };
    return QStringLiteral(
               "QLabel#%1_name { color: #2a3a48; font-size: 13px; }"
               "QLabel#%1_size, QLabel#%1_status, QLabel#%1_time { color: #5f7689; font-size: 11px; }"
               "QProgressBar#%1_progress { border: none; border-image: url(%2); }"
               "QProgressBar#%1_progress::chunk { border-image: url(%3); }"
               "QPushButton#re_upld, QPushButton#open_file, QPushButton#foldOpen "
               "{ color: %4; border: none; padding: 0 2px; }"
               "QPushButton#re_upld:hover, QPushButton#open_file:hover, QPushButton#foldOpen:hover, "
               "QPushButton#re_upld:focus, QPushButton#open_file:focus, QPushButton#foldOpen:focus "
               "{ text-decoration: underline; }"
               "QWidget#row_sep { background-color: %5; }")
        .arg(QString::fromStdString(prefix), url("progress_bg.png"), url("progress_in.png"),
             Rgb(kLinkColour), Rgb(kSeparatorColour));
}

void TransferRow::StyleList(QWidget* list, const std::string& prefix) {
    if (!list) {
        return;
    }
    const QString sheet = StyleSheet(prefix);
    if (!list->styleSheet().contains(sheet)) {
        list->setStyleSheet(list->styleSheet() + sheet);
    }
}

QWidget* TransferRow::Make(const Spec& spec) {
    const std::string& prefix = spec.prefix;
    auto* row = new QWidget(spec.parent);
    row->setObjectName(QString::fromStdString(prefix) + kRowSuffix);
    row->setProperty(kPrefixProperty, QString::fromStdString(prefix));
    row->setProperty(kIdProperty, spec.id);
    row->setAccessibleName(QString::fromStdString(spec.fileName));
    row->setFixedHeight(kItemHeight);
    auto* outer = new QVBoxLayout(row);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    auto* content = new QWidget(row);
    content->setFixedHeight(kRowHeight);
    auto* layout = new QHBoxLayout(content);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(8);

    auto* icon = NewLabel(prefix + "_icon", QStringLiteral("File type"), content);
    icon->setFixedSize(50, 50);
    SkinImage::Apply(icon, "file='" + CommonUtils::GetFileIconName(spec.fileName, true) + "'");
    layout->addWidget(icon);

    auto* column = new QVBoxLayout();
    column->setSpacing(2);
    auto* top = new QHBoxLayout();
    auto* name = NewLabel(prefix + "_name", QStringLiteral("File name"), content);
    name->setText(QString::fromStdString(spec.fileName));
    top->addWidget(name, 1);
    top->addWidget(NewLabel(prefix + "_size", QStringLiteral("Size"), content));
    column->addLayout(top);
    if (spec.progress) {
        auto* progress = new QProgressBar(content);
        progress->setObjectName(QString::fromStdString(prefix + "_progress"));
        progress->setAccessibleName(QStringLiteral("Progress"));
        progress->setRange(0, 100);
        progress->setValue(0);
        progress->setTextVisible(false);
        progress->setFixedHeight(6);
        column->addWidget(progress);
    }
    auto* line = new QHBoxLayout();
    const bool upload = spec.direction == Direction::kUpload;
    auto* direction = NewLabel(prefix + "_direction",
                               upload ? QStringLiteral("Upload") : QStringLiteral("Download"),
                               content);
    direction->setFixedSize(16, 16);
    SkinImage::Apply(direction, upload ? kUploadImage : kDownloadImage);
    line->addWidget(direction);
    line->addWidget(NewLabel(prefix + "_status", QStringLiteral("Status"), content), 1);
    if (spec.time) {
        line->addWidget(NewLabel(prefix + "_time", QStringLiteral("Time"), content));
    }
    column->addLayout(line);
    layout->addLayout(column, 1);

    auto* actions = new QHBoxLayout();
    actions->setObjectName(QString::fromLatin1(kActionsName));
    actions->setSpacing(4);
    if (spec.controls) {
        auto* control = NewButton("ctrl_btn", kStartImage, Text(kTextStart), spec.id, content);
        control->setEnabled(false);  // until the task runs
        actions->addWidget(control);
    }
    if (spec.deletable) {
        actions->addWidget(NewButton("del_btn", kDeleteImage, Text(kTextDelete), spec.id, content));
    }
    layout->addLayout(actions);
    outer->addWidget(content);

    // The separator line, 2 px in from the left like the skins' row separators.
    auto* separator = new QWidget(row);
    separator->setObjectName(QStringLiteral("row_sep"));
    separator->setAccessibleName(QStringLiteral("Separator"));
    separator->setFixedHeight(kSeparatorHeight);
    separator->setAttribute(Qt::WA_StyledBackground, true);
    auto* separatorLine = new QHBoxLayout();
    separatorLine->setContentsMargins(2, 0, 0, 0);
    separatorLine->addWidget(separator);
    outer->addLayout(separatorLine);
    return row;
}

void TransferRow::SetName(QWidget* row, const std::string& text) {
    if (auto* label = Own<QLabel>(row, "_name")) {
        label->setText(QString::fromStdString(text));
    }
}

void TransferRow::SetSize(QWidget* row, const std::string& text) {
    if (auto* label = Own<QLabel>(row, "_size")) {
        label->setText(QString::fromStdString(text));
    }
}

void TransferRow::SetStatus(QWidget* row, const std::string& text) {
    if (auto* label = Own<QLabel>(row, "_status")) {
        label->setText(QString::fromStdString(text));
    }
}

void TransferRow::SetTime(QWidget* row, const std::string& text) {
    if (auto* label = Own<QLabel>(row, "_time")) {
        label->setText(QString::fromStdString(text));
    }
}

void TransferRow::SetProgress(QWidget* row, int percent) {
    auto* progress = Own<QProgressBar>(row, "_progress");
    if (progress && percent >= 0) {
        progress->setValue(std::min(percent, 100));
    }
}

void TransferRow::SetControl(QWidget* row, Control look, bool enabled) {
    auto* control = qobject_cast<QPushButton*>(Find(row, "ctrl_btn"));
    if (!control) {
        return;
    }
    control->setEnabled(enabled);
    const char* image = look == Control::kRunning  ? kPauseImage
                        : look == Control::kPaused ? kPlayImage
                                                   : kStartImage;
    SkinImage::Apply(control, image);
    const QString role = Text(look == Control::kRunning ? kTextPause : kTextStart);
    control->setAccessibleName(role);
    control->setToolTip(role);
}

void TransferRow::Finish(QWidget* row, const Links& links) {
    if (!row || IsFinished(row)) {
        return;
    }
    row->setProperty(kFinishedProperty, true);
    if (auto* control = Find(row, "ctrl_btn")) {
        // Not deleted at once: the end may arrive while Qt still handles a click on it.
        control->setObjectName(QString());
        control->hide();
        control->deleteLater();
    }
    auto* actions = row->findChild<QHBoxLayout*>(QString::fromLatin1(kActionsName));
    if (!actions) {
        return;
    }
    QWidget* content = actions->parentWidget();
    const int32_t id = IdOf(row);
    int at = 0;
    if (links.retry) {
        actions->insertWidget(at++, NewLink("re_upld", Text(kTextRetry), id, links.file, content));
    }
    if (links.open) {
        actions->insertWidget(at++, NewLink("open_file", Text(kTextOpen), id, links.file, content));
    } else {
        actions->insertWidget(
            at++, NewInert("no_file", Text(kTextOpen), QStringLiteral("Nothing to open"), content));
    }
    if (links.folder) {
        actions->insertWidget(at++, NewLink("foldOpen", Text(kTextFolder), id, links.file, content));
    } else {
        actions->insertWidget(
            at++, NewInert("no_fold", Text(kTextFolder), QStringLiteral("No folder"), content));
    }
}

bool TransferRow::IsFinished(const QWidget* row) {
    return row && row->property(kFinishedProperty).toBool();
}

int32_t TransferRow::IdOf(const QWidget* control) {
    if (!control) {
        return -1;
    }
    const QVariant id = control->property(kIdProperty);
    return id.isValid() ? id.toInt() : -1;
}

std::filesystem::path TransferRow::FileOf(const QWidget* control) {
    if (!control) {
        return {};
    }
    return std::filesystem::path(control->property(kFileProperty).toString().toStdString());
}

QWidget* TransferRow::Find(const QWidget* row, const char* name) {
    return row ? row->findChild<QWidget*>(QString::fromLatin1(name)) : nullptr;
}
