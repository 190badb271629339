// The upload queue's commands: the user's (row buttons, pause and start all, cancel), the
// dispatcher's (resume, retry of the failed uploads), and those of the shutdown (stopping the
// tasks, storing what is unfinished).
#include "upload/UploadQueue.h"

#include <algorithm>
#include <set>
#include <utility>

#include "core/CWriteDbMgr.h"
#include "core/IPageNotifier.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/FileSystem.h"
#include "upload/CUploaderMgr.h"
#include "upload/FileBackupMgr.h"

namespace {

UpldWaitingFile WaitingFrom(const UpldFailedFile& failed) {
    UpldWaitingFile record;
    record.path = failed.path;
    record.pid = failed.pid;
    record.fid = failed.fid;
    record.size = failed.size;
    record.hash = failed.hash;
    record.batchTarget = failed.batchTarget;
    record.share = failed.share;
    record.lockFlag = failed.lockFlag;
    record.counted = true;  // restartFailedItems counts them in again
    return record;
}

}  // namespace

// ---- the page's and the user's commands ----

void UploadQueue::OnUpldCancel() {
    int removeFlag = 0;
    const std::vector<int64_t> fids = FileBackupMgr::GetInstance().takeCancelFids(&removeFlag);
    const std::set<int64_t> cancelled(fids.begin(), fids.end());
    std::set<int64_t> found;
    auto& link = IPageNotifier::Get();
    // The waiting and failed records go first: deleting a listed entry refills the list from
    // the waiting ones, which must not pull in (and start) an upload being cancelled.
    const auto removeFrom = [&](auto& list) {
        size_t removed = 0;
        for (auto it = list.begin(); it != list.end();) {
            if (it->fid != 0 && cancelled.count(it->fid)) {
                if (removeFlag == 1) {
                    link.pushUpldRemoved(it->fid, it->pid);
                }
                found.insert(it->fid);
                it = list.erase(it);
                ++removed;
            } else {
                ++it;
            }
        }
        return removed;
    };
    for (size_t i = removeFrom(m_waitingList); i > 0; --i) {
        FileBackupMgr::GetInstance().decreaseRemainingCount();
    }
    removeFrom(m_failedList);
    removeFrom(m_failedList2);
    std::vector<int32_t> listed;
    for (const auto& entry : m_taskList) {
        if (entry->fid != 0 && cancelled.count(entry->fid)) {
            listed.push_back(entry->taskIndex);
            found.insert(entry->fid);
        }
    }
    for (const int32_t taskIndex : listed) {
        deleteItem(taskIndex, removeFlag == 1);
    }
    if (removeFlag == 1) {
        for (const int64_t fid : cancelled) {
            if (!found.count(fid)) {
                link.pushUpldRemoved(fid, 0);
            }
        }
    }
    RefreshCount();
}

void UploadQueue::pauseOrStartItem(int32_t taskIndex, bool force) {
    UpldTaskInfo* info = Find(taskIndex);
    if (!info) {
        VLOGF(1, "[pauseOrStartItem]: The task [%02d] is in destroying.", taskIndex);
        return;
    }
    if (info->held || info->state == TSE_PAUSED) {
        // The limit of three applies to starting only: pausing is always possible.
        if (!force && m_upCount >= kMaxRunning) {
            VLOGF(1, "[pauseOrStartItem]: The task [%02d] waits, %d uploads run", taskIndex,
                  m_upCount);
            return;
        }
        if (startOneTxUp(info)) {
            info = Find(taskIndex);
            if (info) {
                info->held = false;
            }
        }
    } else {
        info->held = true;
        if (info->task) {
            info->task->Pause();
        }
        RowChanged(*info);
    }
    RefreshCount();
}

void UploadQueue::deleteItem(int32_t taskIndex, bool force) {
    UpldTaskInfo* info = Find(taskIndex);
    if (!info) {
        VLOGF(1, "[deleteItem]: The task [%02d] is in destroying.", taskIndex);
        return;
    }
    if (info->lockFlag) {
        if (m_localEdit.uploadRemoved) {
            m_localEdit.uploadRemoved(*info);
        }
    } else if (force && !info->deletionTold) {
        IPageNotifier::Get().pushUpldRemoved(info->fid, info->pid);
        info->deletionTold = true;
    }
    if (info->running) {
        // The transfer is paused first; the entry leaves when its end arrives.
        info->deleting = true;
        if (info->task) {
            info->task->Pause();
        }
        RowChanged(*info);
        return;
    }
    RemoveServerFile(*info);
    FileBackupMgr::GetInstance().decreaseRemainingCount();
    clearDoneTask(taskIndex);
    AutoStartTxUp();
    RefreshCount();
}

void UploadQueue::RemoveServerFile(const UpldTaskInfo& info) {
    if (info.lockFlag || info.fid <= 0 || IsDone(info.state) || !m_removeServerFile) {
        return;
    }
    VLOGF(1, "[deleteItem]: the unfinished upload of %s goes from the server too (fid %lld)",
          info.name, static_cast<long long>(info.fid));
    m_removeServerFile(info.fid);
}

void UploadQueue::OnButtonUpPause() {
    if (m_stopped && m_pauseAllStatus == kAllPaused) {
        VLOG(1) << "CMainUiDlg::OnButtonUpPause: upload is paused, return";
        return;
    }
    for (const auto& entry : m_taskList) {
        if (entry->task && !entry->held) {
            entry->task->Pause();
        }
    }
    m_pauseAllStatus = kAllPaused;
    if (!m_stopped) {
        SetStopped(TxEvent::kPaused);
    } else {
        ReportTxEvent(TxEvent::kPaused);
    }
    RefreshCount();
}

void UploadQueue::OnButtonUpStart() {
    VLOG(1) << "CMainUiDlg::OnButtonUpStart";
    m_stopped = false;
    m_pauseAllStatus = kAllRunning;
    for (const auto& entry : m_taskList) {
        entry->held = false;
    }
    FillTaskList();
    getTaskToStart();
    if (m_upCount > 0) {
        ReportTxEvent(TxEvent::kUploadsActive);
        PostToDropWindow(WM_TX_REFRESH);
    }
    RefreshCount();
}

void UploadQueue::resume() {
    VLOG(1) << "CMainUiDlg::resume";
    m_stopped = false;
    m_pauseAllStatus = kAllRunning;
    ReportTxEvent(TxEvent::kUploadsActive);
}

void UploadQueue::cancelAll() {
    VLOG(1) << "CMainUiDlg::cancelAll";
    std::vector<int32_t> listed;
    for (const auto& entry : m_taskList) {
        listed.push_back(entry->taskIndex);
        entry->held = true;  // none of them is to start while the others go
    }
    FileBackupMgr& backup = FileBackupMgr::GetInstance();
    auto& link = IPageNotifier::Get();
    for (const auto& record : m_waitingList) {
        if (!record.lockFlag) {
            link.pushUpldRemoved(record.fid, record.pid);
        }
        backup.decreaseRemainingCount();
    }
    m_waitingList.clear();
    for (const int32_t taskIndex : listed) {
        deleteItem(taskIndex, true);
    }
    RefreshCount();
}

void UploadQueue::restartFailedItems() {
    VLOG(1) << "[CMainUiDlg::restartFailedItems]";
    FileBackupMgr& backup = FileBackupMgr::GetInstance();
    int moved = 0;
    // Failures named to the page with an earlier batch stay listed for the user's retry.
    std::vector<UpldFailedFile> kept;
    for (auto& failed : m_failedList) {
        if (failed.reported) {
            kept.push_back(std::move(failed));
            continue;
        }
        if (failed.isFolder) {
            backup.addWorkRequest({failed.pid, failed.share}, {failed.path});
            continue;
        }
        m_waitingList.push_back(WaitingFrom(failed));
        ++moved;
    }
    m_failedList = std::move(kept);
    // Their remaining count was given back when they failed.
    if (moved > 0) {
        backup.addFileCount(moved);
    } else if (m_waitingList.empty()) {
        backup.addFileCount(0);
    }
    FillTaskList();
    if (AutoStartAllowed()) {
        AutoStartTxUp();
    }
    RefreshCount();
}

bool UploadQueue::retryFailedItem(int32_t taskIndex) {
    auto it = std::find_if(m_failedList.begin(), m_failedList.end(), [&](const UpldFailedFile& failed) {
        return !failed.isFolder && failed.taskIndex == taskIndex;
    });
    if (it == m_failedList.end()) {
        LOGF(INFO, "[CMainUiDlg::retryFailedItem]: The task [%02d] has no failure to retry", taskIndex);
        return false;
    }
    VLOGF(1, "[CMainUiDlg::retryFailedItem]: The task [%02d] is queued again: %s", taskIndex,
          it->path.string());
    const UpldWaitingFile record = WaitingFrom(*it);
    m_failedList.erase(it);
    // Its remaining count was given back when it failed.
    FileBackupMgr::GetInstance().addFileCount(1);
    if (!MergeIntoQueued(record)) {
        m_waitingList.push_back(record);
    }
    // Nothing ran any more, so the uploads had stopped by themselves: the user's retry is
    // new work. After pause all it only waits in the list until start all.
    if (m_stopped && m_pauseAllStatus == kAllRunning) {
        resume();
    }
    FillTaskList();
    if (AutoStartAllowed()) {
        AutoStartTxUp();
    }
    RefreshCount();
    return true;
}

void UploadQueue::addFailedFolder(const std::filesystem::path& folder, int64_t pid, int32_t share) {
    UpldFailedFile failed;
    failed.path = folder;
    failed.pid = pid;
    failed.share = share;
    failed.batchTarget = pid;
    failed.isFolder = true;
    m_failedList.push_back(std::move(failed));
    RefreshCount();
}

void UploadQueue::clearDoneTask(int32_t taskIndex) {
    auto it = std::find_if(m_taskList.begin(), m_taskList.end(),
                           [&](const auto& entry) { return entry->taskIndex == taskIndex; });
    if (it == m_taskList.end()) {
        return;
    }
    VLOGF(1, "[CMainUiDlg::clearDoneTask]: The task [%d] is cleaned", taskIndex);
    // Out of the list before the view hears of it, so that a view reading the list during
    // the call sees it gone.
    std::unique_ptr<UpldTaskInfo> entry = std::move(*it);
    m_taskList.erase(it);
    if (m_view) {
        m_view->OnUpldRowRemoved(taskIndex);
    }
}

void UploadQueue::ClearUpldInfo() {
    VLOG(1) << "CMainUiDlg::ClearUpldInfo";
    stopRunningTasks(false);
    while (!m_taskList.empty()) {
        clearDoneTask(m_taskList.front()->taskIndex);
    }
    m_waitingList.clear();
    m_failedList.clear();
    m_failedList2.clear();
    m_finishedPaths.clear();
    m_finishedSeen.clear();
    m_upCount = 0;
    m_stopped = false;
    m_pauseAllStatus = kAllRunning;
    RefreshCount();
}

// ---- shutdown ----

void UploadQueue::stopRunningTasks(bool tellPage) {
    auto& link = IPageNotifier::Get();
    for (const auto& entry : m_taskList) {
        if (!entry->task || !IsOnPool(entry->task->GetState())) {
            continue;
        }
        entry->task->Stop();
        if (tellPage && !entry->lockFlag && !entry->deletionTold) {
            link.pushUpldRemoved(entry->fid, entry->pid);
            entry->deletionTold = true;
        }
    }
}

void UploadQueue::quitTasks() {
    VLOG(1) << "CMainUiDlg::quitTasks";
    m_quitting = true;
    stopRunningTasks(false);
}

void UploadQueue::StopAllTasks() {
    VLOG(1) << "CMainUiDlg::StopAllTasks";
    RefreshCount();
    m_stopped = false;
    m_pauseAllStatus = kAllRunning;
    ReportTxEvent(TxEvent::kAllFinished);
}

int UploadQueue::saveUndoFiles() {
    VLOG(1) << "CMainUiDlg::saveUndoFiles";
    const std::vector<CWriteDbMgr::UpldUndoRecord> rows = GetUndoRecords();
    // A folder is no upload of its own: it goes back with the dropped folders.
    for (const auto& folder : GetFailedFolders()) {
        WriteQueue().AddDragDir(folder.path, folder.pid, folder.share);
    }
    WriteQueue().AddInUndoLog(rows);
    LOGF(INFO, "CMainUiDlg::saveUndoFiles - %d unfinished uploads saved",
         static_cast<int>(rows.size()));
    m_waitingList.clear();
    m_failedList.clear();
    m_failedList2.clear();
    return static_cast<int>(rows.size());
}

std::vector<CWriteDbMgr::UpldUndoRecord> UploadQueue::GetUndoRecords() const {
    const int splitNum = COptions::GetInstance().m_splitNum;
    std::vector<CWriteDbMgr::UpldUndoRecord> rows;
    // The file's times go with the row: at the next start an untouched file is queued again
    // as it is, a touched one is hashed again.
    const auto add = [&](const std::filesystem::path& path, int64_t fid, int64_t pid,
                         const std::string& hash, int64_t size, int64_t breakPoint, int32_t share) {
        auto row = CWriteDbMgr::UpldUndoRecord::Of(path, fid, pid, hash, size, breakPoint, share,
                                                   splitNum);
        const platform::FileStat st = platform::StatFile(path);
        row.ctime = st.times.creation;
        row.mtime = st.times.lastWrite;
        rows.push_back(std::move(row));
    };
    for (const auto& entry : m_taskList) {
        // Deleted by the user, only waiting for its transfer to end: not to come back.
        if (IsDone(entry->state) || entry->deleting) {
            continue;
        }
        int64_t fid = entry->fid;
        int64_t breakPoint = entry->breakPoint;
        if (entry->task) {
            const CUploadParam reached = entry->task->GetParam();
            if (reached.fid > 0) {
                fid = reached.fid;
                breakPoint = reached.breakPoint;
            }
            if (IsDone(entry->task->GetState())) {
                continue;
            }
        }
        add(entry->LocalPath(), fid, entry->pid, entry->hash, entry->fileSize, breakPoint,
            entry->share);
    }
    for (const auto& record : m_waitingList) {
        add(record.path, record.fid, record.pid, record.hash, record.size, record.breakPoint,
            record.share);
    }
    for (const auto* list : {&m_failedList, &m_failedList2}) {
        for (const auto& failed : *list) {
            if (!failed.isFolder) {
                add(failed.path, failed.fid, failed.pid, failed.hash, failed.size, 0, failed.share);
            }
        }
    }
    return rows;
}

std::vector<UpldFailedFile> UploadQueue::GetFailedFolders() const {
    std::vector<UpldFailedFile> folders;
    for (const auto* list : {&m_failedList, &m_failedList2}) {
        for (const auto& failed : *list) {
            if (failed.isFolder) {
                folders.push_back(failed);
            }
        }
    }
    return folders;
}
