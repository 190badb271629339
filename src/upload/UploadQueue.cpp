#include "upload/UploadQueue.h"

#include <algorithm>
#include <utility>

#include "upload/FileBackupMgr.h"
#include "core/CWriteDbMgr.h"
#include "core/IPageNotifier.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/ProcessState.h"
#include "core/TaskIndexCounter.h"
#include "core/WindowMessages.h"
#include "platform/FileSystem.h"
#include "platform/WindowRegistry.h"
#include "upload/CUploaderMgr.h"
#include "upload/UpldEndInfo.h"
#include "upload/UpldFileIdInfo.h"
#include "upload/UpldProgressInfo.h"
#include "upload/UpldStatusInfo.h"

namespace {

bool SameFile(const UpldWaitingFile& record, const std::filesystem::path& path, int64_t pid,
              int32_t share) {
    return record.path == path && record.pid == pid && record.share == share;
}

}  // namespace

bool UploadQueue::IsDone(int32_t state) {
    return state == TSE_COMPLETED || state == TSE_SERVER_COMPLETED;
}

bool UploadQueue::IsOnPool(int32_t state) {
    return state == TSE_TRANSFERRING || state == TSE_PAUSING || state == TSE_DESTROYING;
}

UploadQueue::UploadQueue(IUpldQueueView* view) : m_view(view) {}

UploadQueue::~UploadQueue() {
    // A transfer holds its task alive; without its list it would go on uploading for nobody.
    for (const auto& entry : m_taskList) {
        if (entry->task && IsOnPool(entry->task->GetState())) {
            entry->task->Stop();
        }
    }
}

// ---- messages ----

bool UploadQueue::HandleMessage(platform::Message& message) {
    switch (message.id) {
        case WM_UPLD_STATUS:
            OnStatusUpdate(static_cast<int32_t>(message.wValue), message.L<UpldStatusInfo>());
            return true;
        case WM_UPLD_PROGRESS:
            OnUpdateProgress(message.W<UpldProgressInfo>());
            return true;
        case WM_UPLD_INFO:
            OnUpdateUlInfo(message.W<UpldFileIdInfo>());
            return true;
        case WM_UPLD_END:
            OnEndUl(message.W<UpldEndInfo>(), message.L<UpldStatusInfo>());
            return true;
        case WM_UPLD_CANCEL:
            OnUpldCancel();
            return true;
        default:
            return false;
    }
}

void UploadQueue::OnStatusUpdate(int32_t taskIndex, const UpldStatusInfo* status) {
    UpldTaskInfo* info = Find(taskIndex);
    if (!info || !status) {
        LOGF(ERROR,
             "[CMainUiDlg::OnStatusUpdate]: The task [%02d] is NULL. Status=0x%08X, detail = %s",
             taskIndex, status ? status->state : -1, status ? status->text : std::string());
        return;
    }
    info->state = status->state;
    info->statusText = status->text;
    info->held = false;
    RowChanged(*info);
    if (status->state == TSE_TRANSFERRING) {
        PostToDropWindow(WM_TX_REFRESH);
    }
}

void UploadQueue::OnUpdateProgress(const UpldProgressInfo* progress) {
    if (!progress) {
        return;
    }
    UpldTaskInfo* info = Find(progress->taskIndex);
    if (!info) {
        LOGF(INFO, "[OnUpdateProgress]: The task [%02d] has been destroyed already.",
             progress->taskIndex);
        return;
    }
    info->fid = progress->fid;
    info->breakPoint = progress->breakPoint;
    info->timeLeftMs = progress->timeLeftMs;
    info->speed = progress->speed;
    RowChanged(*info);
    PostToDropWindow(WM_TX_REFRESH);
}

void UploadQueue::OnUpdateUlInfo(const UpldFileIdInfo* fileId) {
    if (!fileId) {
        return;
    }
    UpldTaskInfo* info = Find(fileId->taskIndex);
    if (!info) {
        VLOGF(1, "[OnUpdateUlInfo]: The task [%02d] is in destroying.", fileId->taskIndex);
        return;
    }
    info->fid = fileId->fid;
    RowChanged(*info);
}

void UploadQueue::OnEndUl(const UpldEndInfo* end, const UpldStatusInfo* status) {
    if (!end || !status) {
        LOG(ERROR) << "[OnEnd]: retInfo or pStatuInfo is null, return";
        return;
    }
    UpldTaskInfo* info = Find(end->taskIndex);
    if (!info) {
        VLOGF(1, "[OnEnd]: The task [%02d] is in destroying. Status=0x%08X, detail = %s",
              end->taskIndex, status->state, status->text);
        return;
    }
    VLOGF(1, "[CMainUiDlg::OnEndUl]: The task [%02d] end. Status=0x%08X, name = %s, fid=%d",
          end->taskIndex, status->state, info->name, end->fid);

    // The task's own record holds the fid and break point it reached even when the end record
    // carries an error code instead.
    if (info->task) {
        const CUploadParam reached = info->task->GetParam();
        if (reached.fid > 0) {
            info->fid = reached.fid;
            info->breakPoint = reached.breakPoint;
        }
    }
    int64_t code = kNoServerCode;
    if (end->isErrorCode) {
        if (end->fid != 0) {
            code = end->fid;
        }
    } else if (end->fid != 0) {
        info->fid = end->fid;
        info->breakPoint = end->breakPoint;
    }
    info->state = status->state;
    info->statusText = status->text;
    info->running = false;
    info->timeLeftMs = 0;
    info->speed = 0;

    const int32_t state = status->state;
    bool leaves = true;
    bool finished = false;   // the view may keep the row as a finished one
    bool retryable = false;  // its failure waits in the failed list
    bool stillRemaining = false;  // leaves the list but not the files remaining
    if (IsDone(state)) {
        finished = true;
        WriteQueue().AddLog(info->name, info->folder, info->fileSize,
                            state == TSE_SERVER_COMPLETED ? 1 : 0);
        if (info->lockFlag) {
            if (m_localEdit.uploadEnded) {
                m_localEdit.uploadEnded(*info, true);
            }
        } else if (FileBackupMgr::GetInstance().getRemainingCount() == 1) {
            // The last file of what was asked for: the page's report names it.
            NoteFinished(*info);
        }
    } else if (info->deleting) {
        // Deleted while it ran: it was paused only to end it; it is neither failed nor held.
        if (info->deletionTold) {
            IPageNotifier::Get().pushUpldRemoved(info->fid, info->pid);
        }
        RemoveServerFile(*info);
    } else if (state == TSE_PAUSED) {
        // A paused upload is unfinished, not failed: it keeps its row (and is saved at quit).
        // Paused by the user or by pause all, it is held until started again.
        leaves = false;
        info->held = info->held || m_stopped;
    } else if (RehashChangedFile(*info, code, status->text)) {
        // Back to hashing; still one of the files remaining.
        stillRemaining = true;
    } else {
        LOGF(WARNING, "[ZorUpldDlg::OnEndUL]: The task [%02d] failed, add to failed list",
             end->taskIndex);
        const bool changedAgain = info->rehashed && IsContentMismatch(code, status->text);
        retryable = RecordFailure(*info, code, end->taskIndex, !changedAgain);
        finished = true;
        if (info->deletionTold) {
            IPageNotifier::Get().pushUpldRemoved(info->fid, info->pid);
        }
    }
    CountRunning();

    if (leaves) {
        if (!stillRemaining) {
            FileBackupMgr::GetInstance().decreaseRemainingCount();
        }
        if (finished && m_view) {
            m_view->OnUpldRowFinished(*info, retryable);
        }
        clearDoneTask(end->taskIndex);
    } else {
        RowChanged(*info);
    }
    AutoStartTxUp();
    RefreshCount();
    if (m_upCount == 0 && !m_stopped) {
        SetStopped(TxEvent::kAllFinished);
        RefreshCount();
    }
}

// ---- the queue steps ----

void UploadQueue::LoadUpldFiles() {
    std::vector<UpldWaitingFile> records = FileBackupMgr::GetInstance().takeUploadList();
    VLOGF(1, "CMainUiDlg::LoadUpldFiles: load %d", static_cast<int>(records.size()));
    for (auto& record : records) {
        if (!record.lockFlag && MergeIntoQueued(record)) {
            continue;
        }
        m_waitingList.push_back(std::move(record));
    }
    FillTaskList();
}

bool UploadQueue::MergeIntoQueued(const UpldWaitingFile& record) {
    FileBackupMgr& backup = FileBackupMgr::GetInstance();
    // The count of files remaining drops the one it counted twice; a queued upload that was
    // not counted (restored, say) now stands for the counted record.
    const auto takeCount = [&](bool& queuedCounted) {
        if (record.counted && queuedCounted) {
            backup.decreaseRemainingCount();
        }
        queuedCounted = queuedCounted || record.counted;
    };
    const auto takeContent = [&](std::string& hash, int64_t& size, int64_t& fid,
                                 int64_t& breakPoint) {
        if (hash != record.hash || size != record.size) {
            // Newer content: registered again (into the same cloud file) when next started.
            hash = record.hash;
            size = record.size;
            breakPoint = 0;
        }
        if (fid <= 0 && record.fid > 0) {
            fid = record.fid;
        }
    };
    for (const auto& entry : m_taskList) {
        if (entry->lockFlag || entry->deleting ||
            !SameFile(record, entry->LocalPath(), entry->pid, entry->share)) {
            continue;
        }
        LOGF(INFO, "CMainUiDlg::LoadUpldFiles - %s is listed already, one upload takes it",
             record.path.string());
        // A running transfer keeps what it started with; its next start takes the rest.
        takeContent(entry->hash, entry->fileSize, entry->fid, entry->breakPoint);
        takeCount(entry->counted);
        RowChanged(*entry);
        return true;
    }
    if (UpldWaitingFile* waiting = m_waitingList.FindUnlocked(record.path, record.pid, record.share)) {
        LOGF(INFO, "CMainUiDlg::LoadUpldFiles - %s is waiting already, one upload takes it",
             record.path.string());
        takeContent(waiting->hash, waiting->size, waiting->fid, waiting->breakPoint);
        takeCount(waiting->counted);
        return true;
    }
    // A failed upload of the file is superseded: a retry would send it once more.
    for (auto* list : {&m_failedList, &m_failedList2}) {
        std::erase_if(*list, [&](const UpldFailedFile& failed) {
            return !failed.isFolder && !failed.lockFlag && failed.path == record.path &&
                   failed.pid == record.pid && failed.share == record.share;
        });
    }
    return false;
}

void UploadQueue::upldNewFiles() {
    VLOG(1) << "CMainUiDlg::upldNewFiles";
    LoadUpldFiles();
    if (AutoStartAllowed()) {
        AutoStartTxUp();
    }
    RefreshCount();
}

void UploadQueue::AutoStartTxUp() {
    if (ProcessState::GetInstance().IsOffline()) {
        return;
    }
    if (m_taskList.size() < kMaxListed && m_localEdit.takeWaitingUploads) {
        for (const auto& record : m_localEdit.takeWaitingUploads(kMaxListed - m_taskList.size())) {
            AddEntry(record);
        }
    }
    FillTaskList();
    // Stopped (pause all, or nothing ran any more) or quitting: entries wait for start all or
    // the dispatcher's resume.
    if (!m_stopped && !m_quitting) {
        getTaskToStart();
    }
    VLOGF(1, "[ZorUpldDlg::AutoStartTxUp]: The m_upCount is %d, taskNum is %d ", m_upCount,
          static_cast<int>(m_taskList.size()));
    if (m_taskList.empty()) {
        m_upCount = 0;
        PostToDropWindow(WM_UPLD_ALL_DONE);
    }
}

int UploadQueue::getTaskToStart() {
    VLOGF(1, "[ZorUpldDlg::getTaskToStart]: The m_upCount is %d, taskNum is %d ", m_upCount,
          static_cast<int>(m_taskList.size()));
    int started = 0;
    // Entries are taken by task index, not by pointer: a start sends WM_UPLD_STATUS, whose
    // handler runs before Start returns.
    std::vector<int32_t> order;
    for (const auto& entry : m_taskList) {
        order.push_back(entry->taskIndex);
    }
    for (const int32_t taskIndex : order) {
        if (m_upCount >= kMaxRunning) {
            break;
        }
        UpldTaskInfo* info = Find(taskIndex);
        if (!info || info->held || info->running || info->deleting) {
            continue;
        }
        // A task that ended paused without being held (start all cleared its hold before its
        // pause arrived) is picked up again; one that is still winding down is not.
        if (info->task && !CUploaderContext::CanStart(info->task->GetState())) {
            continue;
        }
        if (startOneTxUp(info)) {
            ++started;
        }
    }
    return started;
}

bool UploadQueue::startOneTxUp(UpldTaskInfo* info) {
    if (!info) {
        LOG(ERROR) << "[ZorUpldDlg::startOneTxUp]: The pTaskInfo is NULL ";
        return false;
    }
    VLOG(1) << "CMainUiDlg::startOneTxUp";
    VLOGF(1, "CMainUiDlg::startOneTxUp %s", info->name);
    if (info->task) {
        // Where the last run got to: the next run asks the server from there.
        const CUploadParam reached = info->task->GetParam();
        if (reached.fid > 0) {
            info->fid = reached.fid;
            info->breakPoint = reached.breakPoint;
        }
    }
    CUploadParam param;
    param.window = m_window;
    param.taskIndex = info->taskIndex;
    param.name = info->name;
    param.folder = info->folder;
    param.fileSize = info->fileSize;
    param.pid = info->pid;
    param.fid = info->fid;
    param.breakPoint = info->breakPoint;
    param.hash = info->hash;
    param.share = info->share;
    param.lockFlag = info->lockFlag;
    if (!info->task) {
        info->task = CUploaderMgr::Create(param);
    }
    info->task->SetParam(param);
    const int32_t taskIndex = info->taskIndex;
    const int result = info->task->Start();
    info = Find(taskIndex);
    if (!info) {
        return false;
    }
    if (result == 0) {
        info->state = TSE_TRANSFERRING;
        info->statusText.clear();
        info->running = true;
        CountRunning();
        return true;
    }
    LOGF(WARNING, "[ZorUpldDlg::startOneTxUp]: The task [%02d] can't be started twice ", taskIndex);
    // What the task says now (a task the pool refused has failed without a transfer).
    const UpldStatusInfo now = info->task->GetStatus();
    info->state = now.state;
    info->statusText = now.text;
    RowChanged(*info);
    return false;
}

// ---- helpers ----

void UploadQueue::FillTaskList() {
    while (m_taskList.size() < kMaxListed && !m_waitingList.empty()) {
        UpldWaitingFile record = std::move(m_waitingList.front());
        m_waitingList.pop_front();
        AddEntry(record);
    }
}

void UploadQueue::AddEntry(const UpldWaitingFile& record) {
    auto info = std::make_unique<UpldTaskInfo>();
    info->taskIndex = TaskIndexCounter::Next();
    info->folder = record.path.parent_path();
    info->name = record.path.filename().string();
    info->pid = record.pid;
    info->fid = record.fid;
    info->fileSize = record.size;
    info->breakPoint = record.breakPoint;
    info->hash = record.hash;
    info->batchTarget = record.batchTarget;
    info->share = record.share;
    info->lockFlag = record.lockFlag;
    info->counted = record.counted;
    info->rehashed = record.rehashed;
    m_taskList.push_back(std::move(info));
    if (m_view) {
        m_view->OnUpldRowAdded(*m_taskList.back());
    }
}

void UploadQueue::CountRunning() {
    m_upCount = static_cast<int>(std::count_if(m_taskList.begin(), m_taskList.end(),
                                               [](const auto& entry) { return entry->running; }));
}

void UploadQueue::SetStopped(TxEvent event) {
    m_stopped = true;
    ReportTxEvent(event);
}

void UploadQueue::ReportTxEvent(TxEvent event) {
    if (m_onTxEvent) {
        m_onTxEvent(event);
    }
}

void UploadQueue::RefreshCount() {
    if (!m_view) {
        return;
    }
    IUpldQueueView::Counts counts;
    counts.left = GetUploadCount();
    counts.failed = static_cast<int>(m_failedList.size() + m_failedList2.size());
    counts.running = m_upCount;
    counts.stopped = m_stopped;
    m_view->OnUpldCountChanged(counts);
}

void UploadQueue::RowChanged(const UpldTaskInfo& info) {
    if (m_view) {
        m_view->OnUpldRowChanged(info);
    }
}

void UploadQueue::PostToDropWindow(uint32_t message) {
    const platform::WindowHandle dropWindow = COptions::GetInstance().m_hDndWnd;
    if (dropWindow != platform::kNoWindow) {
        platform::PostMessage(dropWindow, message);
    }
}

CWriteDbMgr& UploadQueue::WriteQueue() {
    return m_writeQueue ? *m_writeQueue : CWriteDbMgr::GetInstance();
}

bool UploadQueue::AutoStartAllowed() const {
    return !m_stopped && m_upCount < kMaxRunning && !m_quitting;
}
