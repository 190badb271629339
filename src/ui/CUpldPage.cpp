#include "ui/CUpldPage.h"

#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "ui/TransferProgressText.h"
#include "upload/CUploaderContext.h"
#include "upload/UpldTaskInfo.h"
#include "upload/UploadQueue.h"

namespace {

constexpr uint32_t kTextNoCapacity = 130;      // "No Capacity"
constexpr uint32_t kTextCompleted = 140;       // "Completed"
constexpr uint32_t kTextAutoSaved = 154;       // "(Auto Saved)"
constexpr uint32_t kTextServerCompleted = 155;  // "Completed", the server held the content

std::string Text(uint32_t id) { return CMultiLanguageMgr::GetInstance().LoadString(id); }

}  // namespace

CUpldPage::CUpldPage(UploadQueue& queue)
    : TransferPage("upld", TransferRow::Direction::kUpload), m_queue(queue) {}

std::string CUpldPage::NameText(const UpldTaskInfo& info) {
    if (info.lockFlag) {
        // A saved version of a file being edited, listed among the other uploads.
        return info.name + " " + Text(kTextAutoSaved);
    }
    return info.name;
}

std::string CUpldPage::StatusText(const UpldTaskInfo& info) {
    switch (info.state) {
        case TSE_COMPLETED:
            return Text(kTextCompleted);
        case TSE_SERVER_COMPLETED:
            return Text(kTextServerCompleted);
        case TSE_TRANSFERRING:
            if (info.running) {
                return TransferProgressText::ProgressLine(info.breakPoint, info.fileSize,
                                                          info.timeLeftMs, info.speed);
            }
            break;
        case TSE_FAILED:
            return CUploaderContext::GetDisplayText(info.state, info.statusText) + "  " +
                   TransferProgressText::Size(info.breakPoint, "/") +
                   TransferProgressText::Size(info.fileSize, "");
        default:
            break;
    }
    return CUploaderContext::GetDisplayText(info.state, info.statusText);
}

void CUpldPage::FillRow(QWidget* row, const UpldTaskInfo& info) {
    if (!row) {
        return;
    }
    TransferRow::SetName(row, NameText(info));
    TransferRow::SetSize(row, TransferProgressText::Size(info.fileSize, ""));
    TransferRow::SetStatus(row, StatusText(info));
    TransferRow::SetProgress(row, TransferProgressText::Percent(info.breakPoint, info.fileSize));
    const bool running = info.running && !info.held && !info.deleting;
    const bool paused = info.held || info.state == TSE_PAUSED;
    TransferRow::SetControl(row,
                            running  ? TransferRow::Control::kRunning
                            : paused ? TransferRow::Control::kPaused
                                     : TransferRow::Control::kWaiting,
                            !info.deleting && (info.running || paused));
}

void CUpldPage::OnUpldRowAdded(const UpldTaskInfo& info) {
    FillRow(AddRow(info.taskIndex, info.name), info);
}

void CUpldPage::OnUpldRowChanged(const UpldTaskInfo& info) { FillRow(RowOf(info.taskIndex), info); }

void CUpldPage::OnUpldRowRemoved(int32_t taskIndex) { RemoveRow(taskIndex); }

void CUpldPage::OnUpldRowFinished(const UpldTaskInfo& info, bool retryable) {
    TransferRow::Links links;
    links.retry = info.state == TSE_FAILED && retryable;
    links.open = true;  // the local file was the upload's source
    links.folder = true;
    links.file = info.LocalPath();
    QWidget* row = AddFinishedRow(info.taskIndex, info.name, links);
    if (row) {
        TransferRow::SetName(row, NameText(info));
        TransferRow::SetSize(row, TransferProgressText::Size(info.fileSize, ""));
        TransferRow::SetStatus(row, StatusText(info));
        const bool done = info.state == TSE_COMPLETED || info.state == TSE_SERVER_COMPLETED;
        TransferRow::SetProgress(
            row, done ? 100 : TransferProgressText::Percent(info.breakPoint, info.fileSize));
    }
}

void CUpldPage::OnUpldCountChanged(const Counts& counts) {
    m_counts = counts;
    ShowCount(counts.left, counts.failed);
    if (m_countsChanged) {
        m_countsChanged(counts);
    }
}

void CUpldPage::OnCapacityWarning() {
    // The drop window shows the warning with its look; the count label says it here.
    LOG(WARNING) << "CUpldPage::OnCapacityWarning - the cloud disk is full";
    ShowCountText(Text(kTextNoCapacity));
}

bool CUpldPage::OnRowClick(const std::string& name, QWidget* sender) {
    if (!Owns(sender)) {
        return false;
    }
    const int32_t id = TransferRow::IdOf(sender);
    if (name == "re_upld" && FinishedRowOf(id)) {
        // The row goes either way: a failure no longer waiting was retried another way.
        m_queue.retryFailedItem(id);
        RemoveFinishedRow(id);
        return true;
    }
    if (OnFinishedRowClick(name, sender)) {
        return true;
    }
    if (!RowOf(id) || (name != "ctrl_btn" && name != "del_btn")) {
        return false;
    }
    if (name == "ctrl_btn") {
        m_queue.pauseOrStartItem(id, false);
    } else {
        // The page is told, so that it does not wait for an upload the user took away.
        m_queue.deleteItem(id, true);
    }
    return true;
}
