#include "ui/CDnldPage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QVariant>

#include "core/CommonUtils.h"
#include "download/DnldTaskInfo.h"
#include "download/DownloadQueue.h"
#include "ui/SkinImage.h"
#include "ui/TransferProgressText.h"
#include "upload/CUploaderContext.h"

namespace {

constexpr const char* kTaskIdProperty = "zorpTaskId";
constexpr const char* kStartImage = "file='btn_start.png' dest='0,18,16,34'";
constexpr const char* kPauseImage = "file='btn_pause.png' dest='0,18,16,34'";
constexpr const char* kPlayImage = "file='btn_play.png' dest='0,18,16,34'";
constexpr const char* kDeleteImage = "file='btn_del.png' dest='0,18,16,34'";

template <typename T>
T* Child(QWidget* row, const char* name) {
    return row ? row->findChild<T*>(QString::fromLatin1(name)) : nullptr;
}

QLabel* NewLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

QPushButton* NewButton(const char* name, const char* image, int32_t taskId, QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setFlat(true);
    button->setFixedSize(20, 36);
    button->setProperty(kTaskIdProperty, taskId);
    SkinImage::Apply(button, image);
    return button;
}

}  // namespace

void CDnldPage::Attach(QListWidget* list, QLabel* countLabel, std::function<void(QWidget*)> bind,
                       std::function<void(const Counts&)> countsChanged) {
    m_list = list;
    m_countLabel = countLabel;
    m_bind = std::move(bind);
    m_countsChanged = std::move(countsChanged);
}

std::string CDnldPage::StatusText(const DnldTaskInfo& info) {
    if (info.running && info.lastStatus.state == TSE_TRANSFERRING) {
        return TransferProgressText::ProgressLine(info.position, info.size, info.timeLeftMs,
                                                  info.speed);
    }
    return CUploaderContext::GetDisplayText(info.lastStatus.state, info.lastStatus.text);
}

std::string CDnldPage::SizeText(const DnldTaskInfo& info) {
    return info.size > 0 ? TransferProgressText::Size(info.size, "") : std::string("N/A");
}

QWidget* CDnldPage::MakeRow(const DnldTaskInfo& info) {
    auto* row = new QWidget();
    row->setObjectName(QStringLiteral("dnld_row"));
    row->setFixedHeight(kRowHeight);
    row->setStyleSheet(QStringLiteral(
        "QWidget#dnld_row { border-bottom: 1px solid #E1E1E3; }"
        "QLabel#dnld_name { color: #2a3a48; font-size: 13px; }"
        "QLabel#dnld_size, QLabel#dnld_status { color: #5f7689; font-size: 11px; }"));
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(8);

    auto* icon = NewLabel("dnld_icon", row);
    icon->setFixedSize(50, 50);
    SkinImage::Apply(icon, "file='" + CommonUtils::GetFileIconName(info.name, true) + "'");
    layout->addWidget(icon);

    auto* column = new QVBoxLayout();
    column->setSpacing(2);
    auto* top = new QHBoxLayout();
    auto* name = NewLabel("dnld_name", row);
    name->setText(QString::fromStdString(info.name));
    top->addWidget(name, 1);
    top->addWidget(NewLabel("dnld_size", row));
    column->addLayout(top);
    auto* progress = new QProgressBar(row);
    progress->setObjectName(QStringLiteral("dnld_progress"));
    progress->setRange(0, 100);
    progress->setValue(0);
    progress->setTextVisible(false);
    progress->setFixedHeight(6);
    column->addWidget(progress);
    auto* line = new QHBoxLayout();
    auto* direction = NewLabel("dnld_direction", row);
    direction->setFixedSize(16, 16);
    SkinImage::Apply(direction, "file='tx_download.png' dest='0,0,16,16'");
    line->addWidget(direction);
    line->addWidget(NewLabel("dnld_status", row), 1);
    column->addLayout(line);
    layout->addLayout(column, 1);

    auto* control = NewButton("ctrl_btn", kStartImage, info.taskId, row);
    control->setEnabled(false);  // until the download runs
    layout->addWidget(control);
    layout->addWidget(NewButton("del_btn", kDeleteImage, info.taskId, row));
    return row;
}

void CDnldPage::FillRow(QWidget* row, const DnldTaskInfo& info) {
    if (auto* size = Child<QLabel>(row, "dnld_size")) {
        size->setText(QString::fromStdString(SizeText(info)));
    }
    if (auto* status = Child<QLabel>(row, "dnld_status")) {
        status->setText(QString::fromStdString(StatusText(info)));
    }
    const int percent = TransferProgressText::Percent(info.position, info.size);
    if (auto* progress = Child<QProgressBar>(row, "dnld_progress"); progress && percent >= 0) {
        progress->setValue(percent);
    }
    if (auto* control = Child<QPushButton>(row, "ctrl_btn")) {
        const bool running = info.running && !info.pausedByUser && !info.deleting;
        const bool paused = info.pausedByUser || info.lastStatus.state == TSE_PAUSED;
        control->setEnabled(!info.deleting && (info.running || paused));
        SkinImage::Apply(control, running ? kPauseImage : paused ? kPlayImage : kStartImage);
    }
}

void CDnldPage::OnDnldRowAdded(const DnldTaskInfo& info) {
    if (!m_list) {
        return;
    }
    QWidget* row = MakeRow(info);
    auto* item = new QListWidgetItem(m_list);
    item->setSizeHint(QSize(0, kRowHeight));
    m_list->setItemWidget(item, row);
    m_rows[info.taskId] = item;
    FillRow(row, info);
    if (m_bind) {
        m_bind(row);
    }
}

void CDnldPage::OnDnldRowChanged(const DnldTaskInfo& info) {
    FillRow(RowOf(info.taskId), info);
}

void CDnldPage::OnDnldRowRemoved(int32_t taskId) {
    auto it = m_rows.find(taskId);
    if (it != m_rows.end()) {
        delete it->second;  // takes it and its row widget out of the list
        m_rows.erase(it);
    }
}

void CDnldPage::OnDnldCountChanged(const Counts& counts) {
    m_counts = counts;
    if (m_countLabel) {
        m_countLabel->setText(
            QString::fromStdString(TransferProgressText::CountText(counts.left, counts.failed)));
    }
    if (m_countsChanged) {
        m_countsChanged(counts);
    }
}

bool CDnldPage::OnRowClick(const std::string& name, QWidget* sender) {
    if (!sender || (name != "ctrl_btn" && name != "del_btn")) {
        return false;
    }
    const QVariant id = sender->property(kTaskIdProperty);
    if (!id.isValid() || !m_rows.count(id.toInt())) {
        return false;
    }
    if (name == "ctrl_btn") {
        m_queue.pauseOrStartDlItem(id.toInt(), false);
    } else {
        m_queue.deleteDnldItem(id.toInt());
    }
    return true;
}

QWidget* CDnldPage::RowOf(int32_t taskId) const {
    auto it = m_rows.find(taskId);
    return it != m_rows.end() && m_list ? m_list->itemWidget(it->second) : nullptr;
}
