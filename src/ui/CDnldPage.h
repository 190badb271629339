#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "download/IDnldQueueView.h"

class DownloadQueue;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QWidget;

// The download page of the transfer manager: one row per listed download, built in code, with
// the file's icon, its name and size, a progress bar, the state text (or, while it runs, the
// time left, the bytes done and the speed), and per row a start/pause button "ctrl_btn" and a
// delete button "del_btn"; the count label "dnldNumLabel" beside. It draws what the download
// queue reports and hands the clicks inside its rows back to the queue.
class CDnldPage : public IDnldQueueView {
public:
    static constexpr int kRowHeight = 71;

    explicit CDnldPage(DownloadQueue& queue) : m_queue(queue) {}

    // The page's list and label; `bind` connects a new row's buttons to the window's
    // notifications, `countsChanged` tells the window (its start/pause button).
    void Attach(QListWidget* list, QLabel* countLabel, std::function<void(QWidget*)> bind,
                std::function<void(const Counts&)> countsChanged);

    // IDnldQueueView
    void OnDnldRowAdded(const DnldTaskInfo& info) override;
    void OnDnldRowChanged(const DnldTaskInfo& info) override;
    void OnDnldRowRemoved(int32_t taskId) override;
    void OnDnldCountChanged(const Counts& counts) override;

    // A click on "ctrl_btn" or "del_btn" of a row: true when it was one of this page's.
    bool OnRowClick(const std::string& name, QWidget* sender);

    // The row widget of a listed download (null when it has none).
    QWidget* RowOf(int32_t taskId) const;
    const Counts& GetCounts() const { return m_counts; }

    // The row's state line: while the download runs its progress line, otherwise the state's
    // name (and text).
    static std::string StatusText(const DnldTaskInfo& info);
    static std::string SizeText(const DnldTaskInfo& info);

private:
    QWidget* MakeRow(const DnldTaskInfo& info);
    void FillRow(QWidget* row, const DnldTaskInfo& info);

    DownloadQueue& m_queue;
    QListWidget* m_list = nullptr;
    QLabel* m_countLabel = nullptr;
    std::function<void(QWidget*)> m_bind;
    std::function<void(const Counts&)> m_countsChanged;
    std::map<int32_t, QListWidgetItem*> m_rows;  // by task id
    Counts m_counts;
};
