#include "ui/TransferPage.h"

#include <QAbstractItemModel>
#include <QLabel>
#include <QListWidget>
#include <QWidget>

#include <algorithm>
#include <utility>

#include "core/Logging.h"
#include "ui/TransferProgressText.h"

TransferPage::TransferPage(std::string prefix, TransferRow::Direction direction)
    : m_prefix(std::move(prefix)), m_direction(direction) {}

void TransferPage::Attach(QListWidget* list, QLabel* countLabel, std::function<void(QWidget*)> bind) {
    m_list = list;
    TransferRow::StyleList(m_list, m_prefix);
    m_countLabel = countLabel;
    m_countRole = countLabel ? countLabel->accessibleName() : QString();
    m_bind = std::move(bind);
}

QListWidgetItem* TransferPage::NewItem(int at, QWidget* row) {
    auto* item = new QListWidgetItem();
    item->setSizeHint(QSize(0, TransferRow::kItemHeight));
    m_list->insertItem(at, item);
    m_list->setItemWidget(item, row);
    if (m_bind) {
        m_bind(row);
    }
    return item;
}

TransferRow::Spec TransferPage::SpecOf(int32_t id, const std::string& fileName) const {
    TransferRow::Spec spec;
    spec.prefix = m_prefix;
    spec.direction = m_direction;
    spec.fileName = fileName;
    spec.id = id;
    spec.parent = m_list->viewport();
    return spec;
}

QWidget* TransferPage::AddRow(int32_t id, const std::string& fileName) {
    if (!m_list) {
        return nullptr;
    }
    RemoveRow(id);
    QWidget* row = TransferRow::Make(SpecOf(id, fileName));
    // The listed rows hold the first places of the list, in the order the queue listed them.
    m_rows[id] = NewItem(static_cast<int>(m_rows.size()), row);
    return row;
}

void TransferPage::RemoveRow(int32_t id) {
    auto it = m_rows.find(id);
    if (it != m_rows.end()) {
        // Takes the item out of the list; its row widget goes later, so a row may remove itself
        // from inside a click on one of its buttons.
        delete it->second;
        m_rows.erase(it);
    }
}

QWidget* TransferPage::AddFinishedRow(int32_t id, const std::string& fileName,
                                      const TransferRow::Links& links) {
    if (!m_list) {
        RemoveRow(id);
        return nullptr;
    }
    RemoveFinishedRow(id);
    QListWidgetItem* item = nullptr;
    QWidget* row = FinishInPlace(id, fileName, links, item);
    if (!row) {
        RemoveRow(id);
        TransferRow::Spec spec = SpecOf(id, fileName);
        spec.controls = false;  // the links take its place
        row = TransferRow::Make(spec);
        TransferRow::Finish(row, links);
        item = NewItem(static_cast<int>(m_rows.size()), row);
    }
    m_finished.emplace_front(id, item);
    while (m_finished.size() > kMaxFinishedRows) {
        auto [oldId, oldItem] = m_finished.back();
        m_finished.pop_back();
        VLOGF(1, "[TransferPage]: %s page keeps %d finished rows, the row of task [%02d] goes",
              m_prefix, static_cast<int>(kMaxFinishedRows), oldId);
        delete oldItem;
    }
    return row;
}

QWidget* TransferPage::FinishInPlace(int32_t id, const std::string& fileName,
                                     const TransferRow::Links& links, QListWidgetItem*& item) {
    auto it = m_rows.find(id);
    if (it == m_rows.end()) {
        return nullptr;
    }
    QWidget* row = m_list->itemWidget(it->second);
    // The icon and the row's name come from the file name it was listed with.
    if (!row || TransferRow::IsFinished(row) ||
        row->accessibleName() != QString::fromStdString(fileName)) {
        return nullptr;
    }
    // The first finished place is the last listed one once this row leaves the listed ones.
    // Moving the item keeps its widget; taking it out of the list would delete the widget.
    const int from = m_list->row(it->second);
    const int to = static_cast<int>(m_rows.size()) - 1;
    if (from < 0 || from > to) {
        return nullptr;
    }
    if (from != to && !m_list->model()->moveRow(QModelIndex(), from, QModelIndex(), to + 1)) {
        return nullptr;
    }
    item = it->second;
    m_rows.erase(it);
    TransferRow::Finish(row, links);
    if (m_bind) {
        m_bind(row);  // the links
    }
    return row;
}

void TransferPage::RemoveFinishedRow(int32_t id) {
    auto it = std::find_if(m_finished.begin(), m_finished.end(),
                           [id](const auto& finished) { return finished.first == id; });
    if (it != m_finished.end()) {
        delete it->second;
        m_finished.erase(it);
    }
}

QWidget* TransferPage::RowOf(int32_t id) const {
    auto it = m_rows.find(id);
    return it != m_rows.end() && m_list ? m_list->itemWidget(it->second) : nullptr;
}

QWidget* TransferPage::FinishedRowOf(int32_t id) const {
    auto it = std::find_if(m_finished.begin(), m_finished.end(),
                           [id](const auto& finished) { return finished.first == id; });
    return it != m_finished.end() && m_list ? m_list->itemWidget(it->second) : nullptr;
}

bool TransferPage::Owns(const QWidget* sender) const {
    return sender && m_list && m_list->isAncestorOf(sender);
}

bool TransferPage::OnFinishedRowClick(const std::string& name, QWidget* sender) {
    const int32_t id = TransferRow::IdOf(sender);
    if (!FinishedRowOf(id)) {
        return false;
    }
    const std::filesystem::path file = TransferRow::FileOf(sender);
    if (name == "open_file") {
        if (m_fileActions.openFile && !file.empty()) {
            m_fileActions.openFile(file);
        }
        return true;
    }
    if (name == "foldOpen") {
        if (m_fileActions.openFolder && !file.empty()) {
            m_fileActions.openFolder(file.parent_path());
        }
        return true;
    }
    if (name == "del_btn") {
        RemoveFinishedRow(id);
        return true;
    }
    return false;
}

void TransferPage::ShowCount(int left, int failed) {
    ShowCountText(TransferProgressText::CountText(left, failed));
}

void TransferPage::ShowCountText(const std::string& text) {
    if (m_countLabel) {
        const QString shown = QString::fromStdString(text);
        m_countLabel->setText(shown);
        // What it counts stays its name while there is nothing to count.
        m_countLabel->setAccessibleName(shown.trimmed().isEmpty() ? m_countRole : shown.trimmed());
    }
}
