#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "cloud/ServerStatus.h"
#include "upload/UpldWaitingFile.h"
#include "core/CWriteDbMgr.h"
#include "core/ProcessState.h"
#include "platform/Message.h"
#include "upload/IUpldQueueView.h"
#include "upload/UpldFailedFile.h"
#include "upload/UpldTaskInfo.h"
#include "upload/WaitingUploadList.h"

struct UpldEndInfo;
struct UpldFileIdInfo;
struct UpldProgressInfo;
struct UpldStatusInfo;

// The upload queue of the transfer manager window: a list of at most five entries, of which
// at most three run on the upload pool (CUpldThreadMgr), fed from an unbounded waiting list of
// plain records, with two failed lists beside it (the second for the server's codes 102003 to
// 102005, which a retry does not mend). It starts tasks in list order, follows every task
// message (status, progress, file id, end), moves ended tasks out, refills the list and starts
// the next; at quit it writes every unfinished upload to `undo_files`.
//
// Everything here belongs to the thread of the window that owns the queue. Tasks post their
// messages (WM_UPLD_PROGRESS, WM_UPLD_END, WM_UPLD_INFO, and the sent WM_UPLD_STATUS) to the
// window set with SetWindow, which hands them to HandleMessage; the window draws what the view
// interface reports. The queue posts WM_UPLD_ALL_DONE and WM_TX_REFRESH to the drop window
// (COptions::m_hDndWnd).
//
// The dispatcher's part: upldNewFiles when waiting records are ready in the backup file list,
// resume before new work after the stopped flag was set (the last running task ended, or pause
// all), and the finished / failed names when OnUpldFinish reports the batch. Restored uploads
// that are to stay paused: OnButtonUpPause before upldNewFiles lists them without starting
// them.
class UploadQueue {
public:
    static constexpr size_t kMaxListed = 5;
    static constexpr int kMaxRunning = 3;
    // Failure code of an end without a server code.
    static constexpr int64_t kNoServerCode = 19;
    static constexpr int64_t kCodeNoCapacity = ServerStatus::kNoCapacity;
    // The server found that the content it received does not have the hash it was given.
    static constexpr int64_t kCodeHashMismatch = ServerStatus::kHashMismatch;
    // An end (server code, status text) saying that what was sent is not the content that
    // was hashed: the file changed after its hash, or while it went up.
    static bool IsContentMismatch(int64_t code, const std::string& text);
    // Server codes whose failures a retry does not mend: the second failed list.
    static bool IsSecondListCode(int64_t code) {
        return code >= ServerStatus::kNotFound && code <= ServerStatus::kWrongBreakPoint;
    }

    // Values of the start/pause-all status.
    enum PauseAllStatus { kAllRunning = 0, kAllPaused = 1 };


    // The local edit manager's share of the queue: uploads of edited files enter the list
    // before other waiting files, and their ends and removals are reported back to it; a
    // failed one goes back to it instead of into a failed list. Unset hooks do nothing.
    struct LocalEditHooks {
        // Up to `count` waiting uploads of edited files.
        std::function<std::vector<UpldWaitingFile>(size_t count)> takeWaitingUploads;
        // An upload of an edited file ended: done (2, 5) or not.
        std::function<void(const UpldTaskInfo& info, bool done)> uploadEnded;
        // The user removed an upload of an edited file.
        std::function<void(const UpldTaskInfo& info)> uploadRemoved;
    };

    explicit UploadQueue(IUpldQueueView* view = nullptr);
    ~UploadQueue();
    UploadQueue(const UploadQueue&) = delete;
    UploadQueue& operator=(const UploadQueue&) = delete;

    void SetView(IUpldQueueView* view) { m_view = view; }
    // The window whose thread owns the queue: the tasks post their messages to it.
    void SetWindow(platform::WindowHandle window) { m_window = window; }
    platform::WindowHandle GetWindow() const { return m_window; }
    // History rows and undo rows go here; null (the default) is CWriteDbMgr::GetInstance().
    void SetWriteQueue(CWriteDbMgr* queue) { m_writeQueue = queue; }
    void SetLocalEditHooks(LocalEditHooks hooks) { m_localEdit = std::move(hooks); }
    // The transfer state belongs to the dispatcher: the queue reports what happened to its
    // uploads (paused, running again, all ended) and the dispatcher moves the state.
    void SetTxEventHandler(std::function<void(TxEvent)> handler) { m_onTxEvent = std::move(handler); }
    // An upload removed after its file was created on the server, unfinished: the file there
    // is deleted through this (the server actions worker's queueDeleteFile), so no orphan stays.
    // Never for a saved version of an edited file: its fid is the user's own cloud file.
    void SetServerFileRemover(std::function<void(int64_t fid)> remover) {
        m_removeServerFile = std::move(remover);
    }

    // ---- messages (the owner forwards them) ----
    // WM_UPLD_PROGRESS, WM_UPLD_END, WM_UPLD_STATUS, WM_UPLD_INFO and WM_UPLD_CANCEL; true
    // when the message was one of them (its records are freed with the message).
    bool HandleMessage(platform::Message& message);
    void OnStatusUpdate(int32_t taskIndex, const UpldStatusInfo* status);
    void OnUpdateProgress(const UpldProgressInfo* progress);
    void OnUpdateUlInfo(const UpldFileIdInfo* info);
    void OnEndUl(const UpldEndInfo* end, const UpldStatusInfo* status);
    // The page cancelled uploads: the backup file list's cancel fids are deleted; with its
    // remove flag 1 the fids no entry holds are reported as removed.
    void OnUpldCancel();

    // ---- the queue steps ----
    // Takes every waiting record out of the backup file list and fills the list. A file is
    // one upload: a record for a file (and cloud folder) that is listed or waiting already
    // goes into that upload, and a failed upload of it is dropped for the new record.
    void LoadUpldFiles();
    void upldNewFiles();
    void AutoStartTxUp();
    // Starts listed entries while fewer than three run; returns how many it started.
    int getTaskToStart();
    bool startOneTxUp(UpldTaskInfo* info);

    // ---- the user's commands ----
    // Row button: pauses a running entry (and holds it) or starts a paused / held one. Without
    // `force` nothing happens while three run.
    void pauseOrStartItem(int32_t taskIndex, bool force);
    // Row delete: a running entry is paused first and leaves when its end arrives. With
    // `force` (or when the page asked for it) the page is told the upload was removed.
    void deleteItem(int32_t taskIndex, bool force);
    // Pause all: every running entry is paused and held; the stopped flag is set.
    void OnButtonUpPause();
    // Start all: clears every hold and the stopped flag, starts entries while fewer than
    // three run.
    void OnButtonUpStart();
    // The dispatcher's resume: new files start again.
    void resume();
    // The transfer manager's cancel: every listed upload is deleted (the page told) and the
    // waiting files are dropped.
    void cancelAll();
    // Moves the (first) failed list's failures not yet reported back to waiting and fills the
    // list.
    void restartFailedItems();
    // The retry of one finished row: the failure of the entry that was `taskIndex` leaves the
    // (first) failed list and its file is listed again, and started unless the user paused all.
    // False when no such failure waits any more (retried, restarted or saved already).
    bool retryFailedItem(int32_t taskIndex);
    // A dropped folder whose walk failed, listed with the failed uploads.
    void addFailedFolder(const std::filesystem::path& folder, int64_t pid, int32_t share);

    // Drops an entry's row and the entry; its task object goes with it.
    void clearDoneTask(int32_t taskIndex);

    // Forgets every upload: running tasks are stopped (they post no end), rows, waiting and
    // failed records and finished names go, the counts start again. What is to come back later
    // must be saved first (saveUndoFiles or GetUndoRecords).
    void ClearUpldInfo();

    // ---- shutdown ----
    // Stops the running tasks (they post no end any more); `tellPage` reports them removed.
    void stopRunningTasks(bool tellPage);
    void quitTasks();
    void StopAllTasks();
    // One `undo_files` row per unfinished upload (listed, waiting, failed), written through
    // the write queue; the waiting and failed lists are emptied. Returns the rows written.
    int saveUndoFiles();
    // What saveUndoFiles writes, without writing it or emptying anything: one row per
    // unfinished upload, and the failed dropped folders (drag_dir rows), for a caller that
    // stores them together with other rows.
    std::vector<CWriteDbMgr::UpldUndoRecord> GetUndoRecords() const;
    std::vector<UpldFailedFile> GetFailedFolders() const;

    // ---- what the windows and the dispatcher read ----
    const std::vector<std::unique_ptr<UpldTaskInfo>>& GetTaskList() const { return m_taskList; }
    const UpldTaskInfo* FindTask(int32_t taskIndex) const;
    const WaitingUploadList& GetWaitingList() const { return m_waitingList; }
    const std::vector<UpldFailedFile>& GetFailedList() const { return m_failedList; }
    const std::vector<UpldFailedFile>& GetFailedList2() const { return m_failedList2; }
    bool HasFailedItems() const { return !m_failedList.empty() || !m_failedList2.empty(); }
    // Failures not yet named to the page: those of the batch now ending.
    bool HasUnreportedFailures() const;
    // Some failure of the batch now ending waits in the first failed list, which the
    // automatic retries take from.
    bool HasRetryableFailures() const;
    // Names (file names, folder names for folders) of the failed records, at most `max`.
    std::vector<std::string> GetFailedNames(size_t max) const;
    // The names of the failures not yet reported (at most `max`); every failure counts as
    // reported afterwards, also those past `max`.
    std::vector<std::string> takeUnreportedFailedNames(size_t max);
    // Names of every listed and waiting upload (for the page's transfer names).
    std::vector<std::string> GetQueuedNames() const;
    // Names of the uploads finished since the last call (the dispatcher reports them): an
    // upload that ends well is named when it is the last of the backup file list's count of
    // files remaining. A file is named once however often it went up meanwhile.
    std::vector<std::string> takeFinishedNames();
    int GetRunningCount() const { return m_upCount; }
    // Some listed task's transfer is still on the pool (running, pausing or being destroyed);
    // a stopped task posts no end, so this asks the tasks themselves.
    bool HasActiveTransfers() const;
    int GetUploadCount() const;  // listed and waiting
    bool IsStopped() const { return m_stopped; }
    bool IsQuitting() const { return m_quitting; }
    int GetPauseAllStatus() const { return m_pauseAllStatus; }

private:
    static bool IsDone(int32_t state);
    // The transfer has not ended yet: queued or running on the pool, or asked to pause or stop.
    static bool IsOnPool(int32_t state);
    UpldTaskInfo* Find(int32_t taskIndex);
    // Fill rule: waiting records enter the list while it has fewer than five entries.
    void FillTaskList();
    void AddEntry(const UpldWaitingFile& record);
    // True when the record's file is listed or waiting already (and the record went into it).
    bool MergeIntoQueued(const UpldWaitingFile& record);
    // Lists the failure (an edited file's goes back to the local edit manager instead); true
    // when it went into the first failed list, the one a retry takes from.
    bool RecordFailure(const UpldTaskInfo& info, int64_t code, int32_t taskIndex,
                       bool retryable = true);
    // The upload ended because its file no longer has the content it was hashed with. The
    // first time the file goes back to be hashed again, into the same cloud file (true);
    // the second time it fails without automatic retries, which would send the same
    // mismatch again.
    bool RehashChangedFile(const UpldTaskInfo& info, int64_t code, const std::string& text);
    void NoteFinished(const UpldTaskInfo& info);
    void CountRunning();
    void SetStopped(TxEvent event);
    void ReportTxEvent(TxEvent event);
    void RefreshCount();
    void RowChanged(const UpldTaskInfo& info);
    void RemoveServerFile(const UpldTaskInfo& info);
    void PostToDropWindow(uint32_t message);
    CWriteDbMgr& WriteQueue();
    bool AutoStartAllowed() const;

    IUpldQueueView* m_view = nullptr;
    platform::WindowHandle m_window = platform::kNoWindow;
    CWriteDbMgr* m_writeQueue = nullptr;
    LocalEditHooks m_localEdit;
    std::function<void(TxEvent)> m_onTxEvent;
    std::function<void(int64_t)> m_removeServerFile;

    std::vector<std::unique_ptr<UpldTaskInfo>> m_taskList;
    WaitingUploadList m_waitingList;
    std::vector<UpldFailedFile> m_failedList;
    std::vector<UpldFailedFile> m_failedList2;
    std::vector<std::filesystem::path> m_finishedPaths;  // named in takeFinishedNames
    std::unordered_set<std::string> m_finishedSeen;      // the same paths, to look them up
    int m_upCount = 0;
    int m_pauseAllStatus = kAllRunning;
    bool m_stopped = false;
    bool m_quitting = false;
};
