#include "ui/CDnldPage.h"

#include "core/MultiLanguage.h"
#include "download/DnldTaskInfo.h"
#include "download/DownloadQueue.h"
#include "ui/TransferProgressText.h"
#include "upload/CUploaderContext.h"

namespace {
constexpr uint32_t kTextCompleted = 140;  // "Completed"
}  // namespace

CDnldPage::CDnldPage(DownloadQueue& queue)
    : TransferPage("dnld", TransferRow::Direction::kDownload), m_queue(queue) {}

std::string CDnldPage::StatusText(const DnldTaskInfo& info) {
    if (info.running && info.lastStatus.state == TSE_TRANSFERRING) {
        return TransferProgressText::ProgressLine(info.position, info.size, info.timeLeftMs,
                                                  info.speed);
    }
    if (info.lastStatus.state == TSE_COMPLETED) {
        return CMultiLanguageMgr::GetInstance().LoadString(kTextCompleted);
    }
    return CUploaderContext::GetDisplayText(info.lastStatus.state, info.lastStatus.text);
}

std::string CDnldPage::SizeText(const DnldTaskInfo& info) {
    return info.size > 0 ? TransferProgressText::Size(info.size, "") : std::string("N/A");
}

void CDnldPage::FillRow(QWidget* row, const DnldTaskInfo& info) {
    if (!row) {
        return;
    }
    TransferRow::SetSize(row, SizeText(info));
    TransferRow::SetStatus(row, StatusText(info));
    TransferRow::SetProgress(row, TransferProgressText::Percent(info.position, info.size));
    const bool running = info.running && !info.pausedByUser && !info.deleting;
    const bool paused = info.pausedByUser || info.lastStatus.state == TSE_PAUSED;
    TransferRow::SetControl(row,
                            running  ? TransferRow::Control::kRunning
                            : paused ? TransferRow::Control::kPaused
                                     : TransferRow::Control::kWaiting,
                            !info.deleting && (info.running || paused));
}

void CDnldPage::OnDnldRowAdded(const DnldTaskInfo& info) {
    FillRow(AddRow(info.taskId, info.name), info);
}

void CDnldPage::OnDnldRowChanged(const DnldTaskInfo& info) { FillRow(RowOf(info.taskId), info); }

void CDnldPage::OnDnldRowRemoved(int32_t taskId) { RemoveRow(taskId); }

void CDnldPage::OnDnldRowFinished(const DnldTaskInfo& info) {
    const bool delivered = info.lastStatus.state == TSE_COMPLETED;
    TransferRow::Links links;
    links.open = delivered;  // a failed download left no file to open
    links.folder = true;
    links.file = info.LocalPath();
    QWidget* row = AddFinishedRow(info.taskId, info.name, links);
    if (row) {
        TransferRow::SetSize(row, SizeText(info));
        TransferRow::SetStatus(row, StatusText(info));
        TransferRow::SetProgress(row, delivered ? 100 : TransferProgressText::Percent(info.position, info.size));
    }
}

void CDnldPage::OnDnldCountChanged(const Counts& counts) {
    m_counts = counts;
    ShowCount(counts.left, counts.failed);
    if (m_countsChanged) {
        m_countsChanged(counts);
    }
}

bool CDnldPage::OnRowClick(const std::string& name, QWidget* sender) {
    if (!Owns(sender)) {
        return false;
    }
    if (OnFinishedRowClick(name, sender)) {
        return true;
    }
    const int32_t id = TransferRow::IdOf(sender);
    if (!RowOf(id) || (name != "ctrl_btn" && name != "del_btn")) {
        return false;
    }
    if (name == "ctrl_btn") {
        m_queue.pauseOrStartDlItem(id, false);
    } else {
        m_queue.deleteDnldItem(id);
    }
    return true;
}
