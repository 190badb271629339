#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>

#include <QString>

#include "ui/RowFileActions.h"
#include "ui/TransferRow.h"

class QLabel;
class QListWidget;
class QListWidgetItem;
class QWidget;

// What the upload and the download page share: the list widget with the rows of the listed
// transfers on top, in the queue's order, and below them the finished rows, newest first; the
// count label; the links of finished rows ("open_file", "foldOpen", "del_btn"). A finished row
// belongs to the page alone: the queue has let its entry go, so deleting it only removes the
// row. At most kMaxFinishedRows finished rows are kept; older ones go (logged), so that a drop of
// thousands of files does not build thousands of widgets.
class TransferPage {
public:
    static constexpr size_t kMaxFinishedRows = 100;

    TransferPage(std::string prefix, TransferRow::Direction direction);
    virtual ~TransferPage() = default;
    TransferPage(const TransferPage&) = delete;
    TransferPage& operator=(const TransferPage&) = delete;

    // The page's list and count label; `bind` connects a new row's buttons to the window's
    // notifications.
    void Attach(QListWidget* list, QLabel* countLabel, std::function<void(QWidget*)> bind);
    void SetFileActions(RowFileActions actions) { m_fileActions = std::move(actions); }

    // The row widget of a listed transfer, or of a finished one (null when there is none).
    QWidget* RowOf(int32_t id) const;
    QWidget* FinishedRowOf(int32_t id) const;
    size_t GetActiveRowCount() const { return m_rows.size(); }
    size_t GetFinishedRowCount() const { return m_finished.size(); }

    // A click inside one of this page's rows: true when it was one (the window asks each page).
    virtual bool OnRowClick(const std::string& name, QWidget* sender) = 0;

protected:
    // A new row of a listed transfer, after the other listed ones.
    QWidget* AddRow(int32_t id, const std::string& fileName);
    void RemoveRow(int32_t id);
    // The listed row of `id` gives way to a finished row on top of the finished ones: its own
    // widget, finished in place, when it shows the same file; a new row otherwise.
    QWidget* AddFinishedRow(int32_t id, const std::string& fileName, const TransferRow::Links& links);
    void RemoveFinishedRow(int32_t id);
    // The sender is a control inside this page's list.
    bool Owns(const QWidget* sender) const;
    // "open_file", "foldOpen" and "del_btn" of a finished row; true when it was one of them.
    bool OnFinishedRowClick(const std::string& name, QWidget* sender);
    void ShowCount(int left, int failed);
    void ShowCountText(const std::string& text);

private:
    QListWidgetItem* NewItem(int at, QWidget* row);
    // A row of this page for the transfer, built inside its list.
    TransferRow::Spec SpecOf(int32_t id, const std::string& fileName) const;
    // Turns the listed row of `id` into the newest finished row without building it again;
    // null (and nothing changed) when it cannot: no such row, or it shows another file.
    QWidget* FinishInPlace(int32_t id, const std::string& fileName, const TransferRow::Links& links,
                           QListWidgetItem*& item);

    std::string m_prefix;
    TransferRow::Direction m_direction;
    QListWidget* m_list = nullptr;
    QLabel* m_countLabel = nullptr;
    QString m_countRole;  // the label's accessible name in the skin
    std::function<void(QWidget*)> m_bind;
    RowFileActions m_fileActions = RowFileActions::Desktop();
    std::map<int32_t, QListWidgetItem*> m_rows;  // listed transfers, by task id
    std::deque<std::pair<int32_t, QListWidgetItem*>> m_finished;  // newest first
};
