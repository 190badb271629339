#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "download/IDnldQueueView.h"
#include "ui/TransferPage.h"

class DownloadQueue;

// The download page of the transfer manager: one row per listed download (TransferRow) with
// the file's icon, its name and size, a progress bar, the state text (or, while it runs, the
// time left, the bytes done and the speed), a start/pause button "ctrl_btn" and a delete button
// "del_btn"; below them the finished downloads with their links "open_file" and "foldOpen"
// (a failed download has no file to open); the count label "dnldNumLabel" beside. It draws what
// the download queue reports and hands the clicks inside its rows back to the queue.
class CDnldPage : public TransferPage, public IDnldQueueView {
public:
    static constexpr int kRowHeight = TransferRow::kRowHeight;

    explicit CDnldPage(DownloadQueue& queue);

    // `countsChanged` tells the window (its start/pause button).
    void SetCountsChanged(std::function<void(const Counts&)> countsChanged) {
        m_countsChanged = std::move(countsChanged);
    }

    // IDnldQueueView
    void OnDnldRowAdded(const DnldTaskInfo& info) override;
    void OnDnldRowChanged(const DnldTaskInfo& info) override;
    void OnDnldRowRemoved(int32_t taskId) override;
    void OnDnldRowFinished(const DnldTaskInfo& info) override;
    void OnDnldCountChanged(const Counts& counts) override;

    bool OnRowClick(const std::string& name, QWidget* sender) override;

    const Counts& GetCounts() const { return m_counts; }

    // The row's state line: while the download runs its progress line, otherwise the state's
    // name (and text); "Completed" once it is done.
    static std::string StatusText(const DnldTaskInfo& info);
    static std::string SizeText(const DnldTaskInfo& info);

private:
    void FillRow(QWidget* row, const DnldTaskInfo& info);

    DownloadQueue& m_queue;
    std::function<void(const Counts&)> m_countsChanged;
    Counts m_counts;
};
