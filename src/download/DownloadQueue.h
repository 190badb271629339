#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/CWriteDbMgr.h"
#include "core/ProcessState.h"
#include "download/DnldFailedFile.h"
#include "download/DnldTaskInfo.h"
#include "download/FileDownloadMgr.h"
#include "download/IDnldQueueView.h"
#include "platform/Message.h"

struct DownloadEndInfo;
struct DownloadProgressInfo;

// The download queue of the transfer manager window: a list of at most five entries, of which
// at most three run on the download pool (CDnldThreadMgr), fed from an unbounded waiting list
// of the requests taken out of FileDownloadMgr, with two failed lists beside it (the second for
// failures a retry does not mend). It starts entries in list order, follows every task message
// (status, progress, end), moves ended entries out, refills the list and starts the next; when
// the list has run empty it posts WM_DNLD_ALL_DONE to the drop window (COptions::m_hDndWnd).
//
// The running count is the number of entries whose run has started and whose end has not
// arrived, counted from the entries themselves, so that deleting or pausing never lets more
// than three run. Every task is let go once its run has ended.
//
// Everything here belongs to the thread of the window that owns the queue. Tasks post their
// messages (WM_DNLD_PROGRESS, WM_DNLD_END, and the sent WM_DNLD_STATUS) to the window set with
// SetWindow, which hands them to HandleMessage; the window draws what the view interface
// reports. The transfer state belongs to the dispatcher: the queue reports events.
class DownloadQueue {
public:
    static constexpr size_t kMaxListed = 5;
    static constexpr int kMaxRunning = 3;

    explicit DownloadQueue(IDnldQueueView* view = nullptr);
    ~DownloadQueue();
    DownloadQueue(const DownloadQueue&) = delete;
    DownloadQueue& operator=(const DownloadQueue&) = delete;

    void SetView(IDnldQueueView* view) { m_view = view; }
    // The window whose thread owns the queue: the tasks post their messages to it.
    void SetWindow(platform::WindowHandle window) { m_window = window; }
    platform::WindowHandle GetWindow() const { return m_window; }
    // History rows go here; null (the default) is CWriteDbMgr::GetInstance().
    void SetWriteQueue(CWriteDbMgr* queue) { m_writeQueue = queue; }
    // The queue reports what happened to its downloads (paused, running again); the
    // dispatcher moves the transfer state.
    void SetTxEventHandler(std::function<void(TxEvent)> handler) { m_onTxEvent = std::move(handler); }

    // ---- messages (the owner forwards them) ----
    // WM_DNLD_STATUS, WM_DNLD_PROGRESS and WM_DNLD_END; true when the message was one of them.
    bool HandleMessage(platform::Message& message);
    void OnStatusUpdateDl(int32_t taskId, const DownloadStatus* status);
    void OnUpdateProgress(const DownloadProgressInfo* progress);
    void OnEndDl(const DownloadEndInfo* end, const DownloadStatus* status);

    // ---- the queue steps ----
    // Takes every pending request (and refused name) out of FileDownloadMgr, fills the list
    // and starts what may start. Returns how many requests and refusals it took.
    int dnldNewFiles();
    // Starts listed entries while fewer than three run, refills the list; with the list empty
    // posts WM_DNLD_ALL_DONE.
    void Schedule();
    int getDlTaskToStart();
    bool startOneTxDl(DnldTaskInfo* info);

    // ---- the user's commands ----
    // Row button: pauses a running entry or starts a paused one (not while three run, unless
    // forced).
    void pauseOrStartDlItem(int32_t taskId, bool force);
    // Row delete: a running entry is paused first and leaves when its end arrives; its cache
    // folder goes with it.
    void deleteDnldItem(int32_t taskId);
    // Pause all: every entry's run is paused and nothing new starts until start all.
    void OnButtonDlPause();
    // Start all: clears every pause and starts entries while fewer than three run.
    void OnButtonDlStart();
    // The transfer manager's cancel: every listed download is deleted, waiting ones dropped.
    void cancelAll();
    // Moves the first failed list back to waiting and fills the list.
    void restartDlFailedItems();

    // ---- shutdown ----
    // Stops the running tasks (they post no end); nothing is scheduled any more.
    void quitDlTasks();
    // Lets every task go and empties the list, the first failed list and the counts.
    void StopAllDlTasks();
    // Forgets everything (FileDownloadMgr's pending work too).
    void clearAllDnldInfo();

    // ---- what the windows, the dispatcher and the saver read ----
    const std::vector<std::unique_ptr<DnldTaskInfo>>& GetTaskList() const { return m_taskList; }
    const DnldTaskInfo* FindTask(int32_t taskId) const;
    const std::deque<FileDownloadMgr::DownloadRequest>& GetWaitingList() const { return m_waitingList; }
    const std::vector<DnldFailedFile>& GetFailedList() const { return m_failedList; }
    const std::vector<DnldFailedFile>& GetFailedList2() const { return m_failedList2; }
    bool HasFailedItems() const { return !m_failedList.empty() || !m_failedList2.empty(); }
    // File names of the failed records, at most `max`.
    std::vector<std::string> GetFailedNames(size_t max) const;
    // Names of every listed and waiting download (for the page's transfer names).
    std::vector<std::string> GetQueuedNames() const;
    // Names of the downloads completed since the last call.
    std::vector<std::string> takeFinishedNames();
    const std::filesystem::path& GetLastDelivered() const { return m_lastDelivered; }
    int GetRunningCount() const { return m_running; }
    int GetDownloadCount() const;  // listed and waiting
    // Some listed task's run is still on the pool (a stopped task posts no end, so this asks
    // the tasks themselves).
    bool HasActiveTransfers() const;
    bool IsPausedAll() const { return m_pausedAll; }
    bool IsQuitting() const { return m_quitting; }

private:
    DnldTaskInfo* Find(int32_t taskId);
    void FillTaskList();
    void newDnldTask(const FileDownloadMgr::DownloadRequest& request);
    void clearDnldDoneTask(int32_t taskId);
    void RecordFailure(const DnldTaskInfo& info, int32_t result);
    void CountRunning();
    void RefreshCount();
    void RowChanged(const DnldTaskInfo& info);
    void ReportTxEvent(TxEvent event);
    void PostToDropWindow(uint32_t message);
    CWriteDbMgr& WriteQueue();

    IDnldQueueView* m_view = nullptr;
    platform::WindowHandle m_window = platform::kNoWindow;
    CWriteDbMgr* m_writeQueue = nullptr;
    std::function<void(TxEvent)> m_onTxEvent;

    std::vector<std::unique_ptr<DnldTaskInfo>> m_taskList;
    std::deque<FileDownloadMgr::DownloadRequest> m_waitingList;
    std::vector<DnldFailedFile> m_failedList;
    std::vector<DnldFailedFile> m_failedList2;
    std::vector<std::string> m_finishedNames;
    std::filesystem::path m_lastDelivered;
    int m_running = 0;
    bool m_pausedAll = false;
    bool m_quitting = false;
};
