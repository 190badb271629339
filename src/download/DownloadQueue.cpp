#include "download/DownloadQueue.h"

#include <algorithm>
#include <utility>

#include "core/CommonUtils.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/ProcessState.h"
#include "core/TaskIndexCounter.h"
#include "core/WindowMessages.h"
#include "download/CDownloaderMgr.h"
#include "download/DownloadCache.h"
#include "download/DownloadEndInfo.h"
#include "download/DownloadProgressInfo.h"
#include "platform/WindowRegistry.h"

namespace {

// The run has not ended yet: queued or running on the pool, or asked to pause or stop.
bool IsOnPool(int32_t state) {
    return state == TSE_TRANSFERRING || state == TSE_PAUSING || state == TSE_DESTROYING;
}

FileDownloadMgr::DownloadRequest RequestOf(const DnldTaskInfo& info) {
    FileDownloadMgr::DownloadRequest request;
    request.size = info.size;
    request.position = info.position;
    request.url = info.url;
    request.path = info.LocalPath();
    request.fid = info.fid;
    request.hash = info.hash;
    return request;
}

// The cache folder of an entry the user removed: its bytes are of no use any more.
void DeleteCacheFolder(const DnldTaskInfo& info) {
    if (!CommonUtils::IsPlainName(info.name)) {
        return;  // such an entry never had a cache folder
    }
    CommonUtils::DeleteFolderTree(
        DownloadCache::FolderFor(COptions::GetInstance().GetWorkDir(), info.name, info.url), true);
}

}  // namespace

DownloadQueue::DownloadQueue(IDnldQueueView* view) : m_view(view) {}

DownloadQueue::~DownloadQueue() {
    // A job holds its task alive; without its list it would go on downloading for nobody.
    for (const auto& entry : m_taskList) {
        if (entry->task && IsOnPool(entry->task->GetState())) {
            entry->task->Stop();
        }
    }
}

// ---- messages ----

bool DownloadQueue::HandleMessage(platform::Message& message) {
    switch (message.id) {
        case WM_DNLD_STATUS:
            OnStatusUpdateDl(static_cast<int32_t>(message.wValue), message.L<DownloadStatus>());
            return true;
        case WM_DNLD_PROGRESS:
            OnUpdateProgress(message.W<DownloadProgressInfo>());
            return true;
        case WM_DNLD_END:
            OnEndDl(message.W<DownloadEndInfo>(), message.L<DownloadStatus>());
            return true;
        default:
            return false;
    }
}

void DownloadQueue::OnStatusUpdateDl(int32_t taskId, const DownloadStatus* status) {
    DnldTaskInfo* info = Find(taskId);
    if (!info || !status) {
        LOGF(ERROR, "[CMainUiDlg::OnStatusUpdateDl]: The task [%02d] or pStatusInfo is NULL.",
             taskId);
        return;
    }
    info->lastStatus = *status;
    info->pausedByUser = false;
    RowChanged(*info);
    if (status->state == TSE_TRANSFERRING) {
        PostToDropWindow(WM_TX_REFRESH);
    }
}

void DownloadQueue::OnUpdateProgress(const DownloadProgressInfo* progress) {
    if (!progress) {
        return;
    }
    DnldTaskInfo* info = Find(progress->taskId);
    if (!info) {
        LOGF(INFO, "[OnUpdateProgress]: The task [%02d] has been destroyed already.",
             progress->taskId);
        return;
    }
    if (progress->size > 0) {
        info->size = progress->size;
    }
    info->position = progress->done;
    info->timeLeftMs = progress->timeLeftMs;
    info->speed = progress->speed;
    RowChanged(*info);
    PostToDropWindow(WM_TX_REFRESH);
}

void DownloadQueue::OnEndDl(const DownloadEndInfo* end, const DownloadStatus* status) {
    if (!end || !status) {
        LOG(ERROR) << "[OnEnd]: retInfo or pStatuInfo is null, return";
        return;
    }
    DnldTaskInfo* info = Find(end->taskId);
    if (!info) {
        VLOGF(1, "[OnEnd]: The task [%02d] is in destroying. Status=0x%08X, detail = %s",
              end->taskId, status->state, status->text);
        return;
    }
    VLOGF(1, "[CMainUiDlg::OnEndDl]: The task [%02d] end. Status=0x%08X, name = %s", end->taskId,
          status->state, info->name);
    info->position = end->position;
    info->lastStatus = *status;
    info->running = false;
    info->timeLeftMs = 0;
    info->speed = 0;
    if (info->task && info->task->GetParam().size > 0) {
        info->size = info->task->GetParam().size;  // the probe may have found it
    }

    const int32_t state = status->state;
    bool leaves = true;
    if (info->deleting) {
        // Removed by the user while it ran: it was paused only to end it.
        DeleteCacheFolder(*info);
    } else if (state == TSE_COMPLETED) {
        WriteQueue().AddLog(info->name, info->folder, info->size, 2);
        m_finishedNames.push_back(info->name);
        if (FileDownloadMgr::GetInstance().getInFlight() == 1) {
            m_lastDelivered = info->LocalPath();
        }
    } else if (state == TSE_PAUSED || state == TSE_READY) {
        // Unfinished, not failed (paused, or ended by the pool's stop before or while it
        // fetched): it keeps its row and goes on from its cache file when started again.
        leaves = false;
        info->pausedByUser = info->pausedByUser || m_pausedAll || state == TSE_PAUSED;
    } else if (state != TSE_DESTROYED) {
        LOGF(WARNING, "[ZorUpldDlg::OnEndDL]: The task [%02d] failed, add to failed list",
             end->taskId);
        RecordFailure(*info, end->result);
    }
    CountRunning();
    if (leaves) {
        FileDownloadMgr::GetInstance().endOne();
        if (!info->deleting && state != TSE_DESTROYED && m_view) {
            m_view->OnDnldRowFinished(*info);
        }
        clearDnldDoneTask(end->taskId);
    } else {
        RowChanged(*info);
    }
    Schedule();
    RefreshCount();
}

// ---- the queue steps ----

int DownloadQueue::dnldNewFiles() {
    VLOG(1) << "CMainUiDlg::dnldNewFiles";
    FileDownloadMgr& store = FileDownloadMgr::GetInstance();
    FileDownloadMgr::DownloadMap requests = store.takeDownloads();
    VLOGF(1, "CMainUiDlg::LoadUpldFiles: load %d", static_cast<int>(requests.size()));
    int taken = static_cast<int>(requests.size());
    for (auto& [path, request] : requests) {
        m_waitingList.push_back(std::move(request));
    }
    for (const auto& name : store.takeRefusedNames()) {
        DnldFailedFile failed;
        failed.request.path = name;
        failed.reason = kDlBadName;
        m_failedList2.push_back(std::move(failed));
        ++taken;
    }
    FillTaskList();
    Schedule();
    RefreshCount();
    return taken;
}

void DownloadQueue::Schedule() {
    if (!ProcessState::GetInstance().IsOffline() && !m_pausedAll && !m_quitting) {
        getDlTaskToStart();
    }
    FillTaskList();
    if (m_taskList.empty()) {
        m_running = 0;
        PostToDropWindow(WM_DNLD_ALL_DONE);
    }
}

int DownloadQueue::getDlTaskToStart() {
    int started = 0;
    // Entries are taken by task id, not by pointer: a start sends WM_DNLD_STATUS, whose handler
    // runs before Start returns.
    std::vector<int32_t> order;
    for (const auto& entry : m_taskList) {
        order.push_back(entry->taskId);
    }
    for (const int32_t taskId : order) {
        if (m_running >= kMaxRunning) {
            break;
        }
        DnldTaskInfo* info = Find(taskId);
        if (!info) {
            VLOGF(1, "[ZorUpldDlg::getDlTaskToStart]: The index [%02d] is NULL", taskId);
            continue;
        }
        if (info->running || info->pausedByUser || info->deleting) {
            continue;
        }
        if (info->task && !CDownloaderContext::CanStart(info->task->GetState())) {
            continue;  // still winding down
        }
        if (startOneTxDl(info)) {
            ++started;
        }
    }
    return started;
}

bool DownloadQueue::startOneTxDl(DnldTaskInfo* info) {
    VLOG(1) << "CMainUiDlg::startOneTxDl";
    CDownloadParam param;
    param.taskId = info->taskId;
    param.window = m_window;
    param.url = info->url;
    param.name = info->name;
    param.folder = info->folder;
    param.size = info->size;
    param.position = info->position;
    param.fid = info->fid;
    param.hash = info->hash;
    if (!info->task) {
        info->task = CDownloaderMgr::Create(param);
    }
    info->task->SetParam(param);
    const int32_t taskId = info->taskId;
    const int result = info->task->Start();
    info = Find(taskId);
    if (!info) {
        return false;
    }
    if (result != 0) {
        LOGF(WARNING, "[ZorDnldDlg::startOneTxDl]: The task [%02d] can't be started twice ",
             taskId);
        info->lastStatus = info->task->GetStatus();
        RowChanged(*info);
        return false;
    }
    info->lastStatus = DownloadStatus{TSE_TRANSFERRING, {}};
    info->running = true;
    CountRunning();
    return true;
}

// ---- the user's commands ----

void DownloadQueue::pauseOrStartDlItem(int32_t taskId, bool force) {
    DnldTaskInfo* info = Find(taskId);
    if (!info) {
        VLOGF(1, "[pauseOrStartDlItem]: The task [%02d] is in destroying.", taskId);
        return;
    }
    if (info->running) {
        // Pausing is always possible; the entry stays listed when its run ends.
        info->pausedByUser = true;
        if (info->task) {
            info->task->Pause();
        }
        RowChanged(*info);
    } else if (!force && m_running >= kMaxRunning) {
        // The limit of three applies to starting only.
        VLOGF(1, "[pauseOrStartDlItem]: The task [%02d] waits, %d downloads run", taskId,
              m_running);
    } else if (startOneTxDl(info)) {
        if (DnldTaskInfo* started = Find(taskId)) {
            started->pausedByUser = false;
        }
        PostToDropWindow(WM_TX_REFRESH);
    }
    RefreshCount();
}

void DownloadQueue::deleteDnldItem(int32_t taskId) {
    DnldTaskInfo* info = Find(taskId);
    if (!info) {
        VLOGF(1, "[deleteDnldItem]: The task [%02d] is in destroying.", taskId);
        return;
    }
    if (info->running) {
        // The run is paused first; the entry leaves when its end arrives.
        info->deleting = true;
        if (info->task) {
            info->task->Pause();
        }
        RowChanged(*info);
        return;
    }
    FileDownloadMgr::GetInstance().endOne();
    DeleteCacheFolder(*info);
    clearDnldDoneTask(taskId);
    Schedule();
    RefreshCount();
}

void DownloadQueue::OnButtonDlPause() {
    if (m_pausedAll) {
        return;
    }
    for (const auto& entry : m_taskList) {
        if (!entry->task) {
            continue;
        }
        if (!entry->pausedByUser) {
            entry->task->Pause();
        }
    }
    m_pausedAll = true;
    ReportTxEvent(TxEvent::kPaused);
    RefreshCount();
}

void DownloadQueue::OnButtonDlStart() {
    m_pausedAll = false;
    for (const auto& entry : m_taskList) {
        entry->pausedByUser = false;
    }
    FillTaskList();
    getDlTaskToStart();
    if (m_running > 0) {
        ReportTxEvent(TxEvent::kDownloadsActive);
        PostToDropWindow(WM_TX_REFRESH);
    }
    RefreshCount();
}

void DownloadQueue::cancelAll() {
    VLOG(1) << "CMainUiDlg::cancelDnldAll";
    FileDownloadMgr& store = FileDownloadMgr::GetInstance();
    for (size_t i = 0; i < m_waitingList.size(); ++i) {
        store.endOne();
    }
    m_waitingList.clear();
    m_failedList.clear();
    m_failedList2.clear();
    std::vector<int32_t> listed;
    for (const auto& entry : m_taskList) {
        listed.push_back(entry->taskId);
        entry->pausedByUser = true;  // none of them is to start while the others go
    }
    for (const int32_t taskId : listed) {
        deleteDnldItem(taskId);
    }
    RefreshCount();
}

void DownloadQueue::restartDlFailedItems() {
    VLOG(1) << "[CMainUiDlg::restartDlFailedItems]";
    for (auto& failed : m_failedList) {
        m_waitingList.push_back(std::move(failed.request));
    }
    FileDownloadMgr::GetInstance().addInFlight(static_cast<int32_t>(m_failedList.size()));
    m_failedList.clear();
    FillTaskList();
    Schedule();
    RefreshCount();
}

// ---- shutdown ----

void DownloadQueue::quitDlTasks() {
    VLOG(1) << "CMainUiDlg::quitDlTasks";
    m_quitting = true;
    for (const auto& entry : m_taskList) {
        if (entry->task && IsOnPool(entry->task->GetState())) {
            entry->task->Stop();
        }
    }
}

void DownloadQueue::StopAllDlTasks() {
    VLOG(1) << "CMainUiDlg::StopAllDlTasks";
    while (!m_taskList.empty()) {
        clearDnldDoneTask(m_taskList.front()->taskId);
    }
    m_failedList.clear();
    m_running = 0;
    m_pausedAll = false;
    RefreshCount();
}

void DownloadQueue::clearAllDnldInfo() {
    VLOG(1) << "CMainUiDlg::clearAllDnldInfo";
    FileDownloadMgr::GetInstance().clearAll();
    quitDlTasks();
    m_quitting = false;
    while (!m_taskList.empty()) {
        clearDnldDoneTask(m_taskList.front()->taskId);
    }
    m_waitingList.clear();
    m_failedList.clear();
    m_failedList2.clear();
    m_finishedNames.clear();
    m_running = 0;
    m_pausedAll = false;
    RefreshCount();
}

// ---- reading ----

const DnldTaskInfo* DownloadQueue::FindTask(int32_t taskId) const {
    for (const auto& entry : m_taskList) {
        if (entry->taskId == taskId) {
            return entry.get();
        }
    }
    return nullptr;
}

DnldTaskInfo* DownloadQueue::Find(int32_t taskId) {
    return const_cast<DnldTaskInfo*>(std::as_const(*this).FindTask(taskId));
}

std::vector<std::string> DownloadQueue::GetFailedNames(size_t max) const {
    std::vector<std::string> names;
    for (const auto* list : {&m_failedList, &m_failedList2}) {
        for (const auto& failed : *list) {
            if (names.size() >= max) {
                return names;
            }
            // A refused name is reported as the page or the server wrote it.
            names.push_back(failed.reason == kDlBadName && failed.request.url.empty()
                                ? failed.request.path.string()
                                : failed.request.path.filename().string());
        }
    }
    return names;
}

std::vector<std::string> DownloadQueue::GetQueuedNames() const {
    std::vector<std::string> names;
    for (const auto& entry : m_taskList) {
        names.push_back(entry->name);
    }
    for (const auto& request : m_waitingList) {
        names.push_back(request.path.filename().string());
    }
    return names;
}

std::vector<std::string> DownloadQueue::takeFinishedNames() {
    return std::exchange(m_finishedNames, {});
}

int DownloadQueue::GetDownloadCount() const {
    return static_cast<int>(m_taskList.size() + m_waitingList.size());
}

bool DownloadQueue::HasActiveTransfers() const {
    return std::any_of(m_taskList.begin(), m_taskList.end(), [](const auto& entry) {
        return entry->task && IsOnPool(entry->task->GetState());
    });
}

// ---- helpers ----

void DownloadQueue::FillTaskList() {
    while (m_taskList.size() < kMaxListed && !m_waitingList.empty()) {
        FileDownloadMgr::DownloadRequest request = std::move(m_waitingList.front());
        m_waitingList.pop_front();
        newDnldTask(request);
    }
}

void DownloadQueue::newDnldTask(const FileDownloadMgr::DownloadRequest& request) {
    auto info = std::make_unique<DnldTaskInfo>();
    info->taskId = TaskIndexCounter::Next();
    info->folder = request.path.parent_path();
    info->name = request.path.filename().string();
    info->size = request.size;
    info->position = request.position;
    info->url = request.url;
    info->fid = request.fid;
    info->hash = request.hash;
    m_taskList.push_back(std::move(info));
    if (m_view) {
        m_view->OnDnldRowAdded(*m_taskList.back());
    }
}

void DownloadQueue::clearDnldDoneTask(int32_t taskId) {
    auto it = std::find_if(m_taskList.begin(), m_taskList.end(),
                           [&](const auto& entry) { return entry->taskId == taskId; });
    if (it == m_taskList.end()) {
        return;
    }
    VLOGF(1, "[CMainUiDlg::clearDnldDoneTask]: The task [%d] is cleaned", taskId);
    // Out of the list before the view hears of it; the task goes with the entry (a job still
    // running keeps its own reference until it ends).
    std::unique_ptr<DnldTaskInfo> entry = std::move(*it);
    m_taskList.erase(it);
    CountRunning();
    if (m_view) {
        m_view->OnDnldRowRemoved(taskId);
    }
}

void DownloadQueue::RecordFailure(const DnldTaskInfo& info, int32_t result) {
    DnldFailedFile failed;
    failed.request = RequestOf(info);
    failed.reason = result;
    (DnldFailedFile::IsSecondListReason(result) ? m_failedList2 : m_failedList)
        .push_back(std::move(failed));
}

void DownloadQueue::CountRunning() {
    m_running = static_cast<int>(std::count_if(m_taskList.begin(), m_taskList.end(),
                                               [](const auto& entry) { return entry->running; }));
}

void DownloadQueue::RefreshCount() {
    if (!m_view) {
        return;
    }
    IDnldQueueView::Counts counts;
    counts.left = GetDownloadCount();
    counts.failed = static_cast<int>(m_failedList.size() + m_failedList2.size());
    counts.running = m_running;
    counts.pausedAll = m_pausedAll;
    m_view->OnDnldCountChanged(counts);
}

void DownloadQueue::RowChanged(const DnldTaskInfo& info) {
    if (m_view) {
        m_view->OnDnldRowChanged(info);
    }
}

void DownloadQueue::ReportTxEvent(TxEvent event) {
    if (m_onTxEvent) {
        m_onTxEvent(event);
    }
}

void DownloadQueue::PostToDropWindow(uint32_t message) {
    const platform::WindowHandle dropWindow = COptions::GetInstance().m_hDndWnd;
    if (dropWindow != platform::kNoWindow) {
        platform::PostMessage(dropWindow, message);
    }
}

CWriteDbMgr& DownloadQueue::WriteQueue() {
    return m_writeQueue ? *m_writeQueue : CWriteDbMgr::GetInstance();
}
