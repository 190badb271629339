#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ui/TransferPage.h"
#include "upload/IUpldQueueView.h"

class UploadQueue;

// The upload page of the transfer manager: one row per listed upload (TransferRow, controls
// "upld_name", "upld_progress", ...) with the start/pause button "ctrl_btn" and the delete
// button "del_btn"; below them the finished uploads with the links "re_upld" (a failure that
// can be retried), "open_file" and "foldOpen"; the count label "upldNumLabel" beside. It draws
// what the upload queue reports and hands the clicks inside its rows back to the queue, which
// decides everything.
class CUpldPage : public TransferPage, public IUpldQueueView {
public:
    explicit CUpldPage(UploadQueue& queue);

    // `countsChanged` tells the window (its start/pause button).
    void SetCountsChanged(std::function<void(const Counts&)> countsChanged) {
        m_countsChanged = std::move(countsChanged);
    }

    // IUpldQueueView
    void OnUpldRowAdded(const UpldTaskInfo& info) override;
    void OnUpldRowChanged(const UpldTaskInfo& info) override;
    void OnUpldRowRemoved(int32_t taskIndex) override;
    void OnUpldRowFinished(const UpldTaskInfo& info, bool retryable) override;
    void OnUpldCountChanged(const Counts& counts) override;
    void OnCapacityWarning() override;

    bool OnRowClick(const std::string& name, QWidget* sender) override;

    const Counts& GetCounts() const { return m_counts; }

    // The name line: the file name, marked "(Auto Saved)" for a saved version of an edited file.
    static std::string NameText(const UpldTaskInfo& info);
    // The state line: the progress line while the upload runs, "Completed" once it is done
    // (string 155 when the server held the content already), the state's text otherwise; a
    // failed upload adds how far it got.
    static std::string StatusText(const UpldTaskInfo& info);

private:
    void FillRow(QWidget* row, const UpldTaskInfo& info);

    UploadQueue& m_queue;
    std::function<void(const Counts&)> m_countsChanged;
    Counts m_counts;
};
