#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/FixedDelays.h"
#include "link/IDispatcherView.h"
#include "platform/Message.h"
#include "upload/UnfinishedUploadsSaver.h"

class UploadQueue;
struct CalcShaResult;

// The process's dispatcher: every request of the web page and every report of a worker arrives
// as a window message posted to the floating drop window, which hands it here. The handlers run
// on the window's thread, one at a time, in arrival order; they decide which manager gets the
// work next, when a batch of uploads starts and when it has ended, how failures are retried,
// what the page is told, and when the process goes offline, comes back online, or quits.
//
// The road of an upload request: the page's paths are taken as a batch (OnSpecificDragFileInfo);
// folders are walked (TravelDirMgr), files are hashed five at a time (ComputeShaMgr), hashed
// files are compared with the server folder (CompareFileMgr), compared files become uploads of
// the transfer manager's queue (UploadQueue), and when the queue has emptied the batch is
// reported to the page, failures retried after 5, 10 and 15 seconds first.
//
// A batch is busy from its start until every path of it has been walked, hashed and compared;
// the next request waits until then. It has ended when nothing of it is walked, hashed or
// compared any more (counted here and by the backup file list), not when some message says so.
//
// The unfinished uploads are stored as they change (UnfinishedUploadsSaver, every second when
// something changed), so that a restart after a crash resumes them.
class RequestDispatcher {
public:
    // The dispatcher's coarse state (COptions::m_workState).
    enum WorkState {
        kWsRestored = 0,         // stored uploads resumed: hashed files go straight to upload
        kWsBatchFromIdle = 1,    // a batch started while nothing else went on
        kWsUploading = 2,        // its uploads started
        kWsBatchWhileBusy = 3,   // a batch started while other work went on
        kWsTransferring = 4,     // transfers started while other work went on
        kWsIdle = 5,             // a batch ended
        kWsOffline = 6,
        kWsRetryWait = 8,        // failed transfers wait for their retry
        kWsCancelled = 9,        // the user cancelled every transfer
        kWsStart = 10,           // nothing done yet
    };

    // Timers on the drop window.
    static constexpr uint32_t kTimerGoOffline = 1009;
    static constexpr uint32_t kTimerNetworkRecheck = 1010;
    static constexpr uint32_t kTimerRetry = 1011;
    static constexpr uint32_t kTimerSaveUnfinished = 1013;

    static constexpr int kMaxHashJobs = 5;
    static constexpr int kMaxRetries = 3;
    static constexpr int kNetworkOksToRecover = 3;
    static constexpr size_t kMaxReportedFailures = 5;

    // Taken from the table of fixed delays when the dispatcher is made; tests may set others.
    struct Timings {
        uint32_t networkErrorMs = FixedDelays::Ms(FixedDelay::kNetworkErrorQuiet);
        uint32_t networkRecheckMs = FixedDelays::Ms(FixedDelay::kNetworkRecheck);
        uint32_t retryStepMs = FixedDelays::Ms(FixedDelay::kRetryStep);
        uint32_t saveIntervalMs = FixedDelays::Ms(FixedDelay::kSaveUnfinished);
    };

    explicit RequestDispatcher(IDispatcherView& view);
    ~RequestDispatcher();
    RequestDispatcher(const RequestDispatcher&) = delete;
    RequestDispatcher& operator=(const RequestDispatcher&) = delete;

    // The drop window: timers run on it and workers report to it.
    void SetWindow(platform::WindowHandle window) { m_window = window; }
    platform::WindowHandle GetWindow() const { return m_window; }
    // The transfer manager's upload queue (owned by the transfer manager window).
    void SetUploadQueue(UploadQueue* queue) { m_queue = queue; }
    void SetTimings(const Timings& timings) { m_timings = timings; }

    // Start-up, once the windows exist: resumes the stored uploads and starts keeping them.
    void InitDispatcher();

    // The program's messages (WM_USER and above) and the timers above. True when handled.
    bool HandleMessage(platform::Message& message);
    bool OnTimer(uint32_t timerId);

    // ---- requests and reports ----
    void OnC2LUpldReq();
    void OnSpecificDragFileInfo();
    void OnTravelDirDone(bool walkEnded);
    void OnCreateDirFail(const std::string& folderName);
    void startCalcSha();
    void invokeToCalcSha(const std::filesystem::path& path);
    void OnCalcShaFinish(const CalcShaResult* result);
    void OnBackupNotify();
    void OnCmpLoopOver();
    void OnUpldFinish();
    void OnNetworkError();
    void OnNetworkOk();
    void OnGoOffline();
    void OnGoOnline();
    void OnClientMsgCome();
    void OnShowHide();
    void resumeUploads();
    // The menu's "m_resume" while offline.
    void OnMenuResume();

    // Downloads, local edits, the clipboard and the automatic backup: their handlers stand
    // here and learn their work with those parts.
    void OnDnldFinish();
    void OnC2LDnldReq(bool withFolders);
    void OnBackupModFile(const int* workType);
    void OnCheckDirExit();
    void OnLocalEditReq();
    void OnLocalEditSha();
    void OnLocalEditDnldFinish(bool haveRecords);
    void OnLocalEditNames();
    void OnOpenEditDir();
    void OnGetCpFileBegin();
    void OnCpDnldFileBegin();
    void OnGetFilePid();

    // The closing order (runs once): stops the workers, stores the unfinished uploads.
    void OnClose();
    bool IsClosing() const { return m_closing; }

    // The transfer manager's list pages clear a direction's names flag when their list is
    // emptied: the end of the next batch is then reported with simple 12 instead of names.
    void SetNamesFlag(bool uploads, bool set) { m_namesFlag[uploads ? 0 : 1] = set; }

    // Stores the unfinished uploads now when they changed (always with `force`).
    void SaveUnfinishedUploads(bool force);
    UnfinishedUploadsSaver& GetSaver() { return m_saver; }

    // ---- state, for the window and for tests ----
    int GetNowCalcCount() const { return m_nowCalcCount; }
    int GetRetryCount() const { return m_retryCount; }
    int GetNetworkErrorCount() const { return m_networkErrorCount; }
    int GetNetworkOkCount() const { return m_networkOkCount; }
    int GetWalksInProgress() const { return m_walksInProgress; }
    bool IsBatchBusy() const { return m_batchBusy; }
    bool HasUploadBatch() const { return m_uploadBatch; }

private:
    void HandleTimer(uint32_t timerId);
    // Ends the busy batch once nothing of it is walked, hashed or compared any more.
    void MaybeEndBatch();
    // Reports a batch that produced nothing, or finishes one whose uploads have all ended;
    // then the next request (with `startNext`).
    void EndBatch(bool startNext);
    // The uploads of the batches have all ended: retry, or report to the page.
    void FinishUploads();
    // Starts the next waiting request unless a batch is busy.
    void StartNextRequest();
    // The queue takes the waiting records of the backup file list and starts them.
    void StartUploads();
    void RestartFailedUploads();
    // Online again: everything paused goes on.
    void ResumeWork();
    bool HasRetryableFailures() const;
    void ReportFailures();
    // Restored dropped folders that had to wait for restored uploads, once the queue is idle.
    void RestoreCarriedDragDirs();
    void ShowIdleLook();
    void MoveTxStatus(int column);
    int WorkState() const;
    void SetWorkState(int state);
    bool IsOffline() const { return WorkState() == kWsOffline; }
    void SetTimer(uint32_t timerId, uint32_t intervalMs);
    void KillTimer(uint32_t timerId);
    bool UploadsRunning() const;
    bool DownloadsActive() const;
    // A file that could not be sent: reported to the page with the failed uploads.
    void NoteUnsent(const std::filesystem::path& path);

    IDispatcherView& m_view;
    platform::WindowHandle m_window = platform::kNoWindow;
    UploadQueue* m_queue = nullptr;
    Timings m_timings;
    UnfinishedUploadsSaver m_saver;

    int m_nowCalcCount = 0;
    int m_retryCount = 0;
    int m_networkErrorCount = 0;
    int m_networkOkCount = 0;
    int m_filesAtNetworkError = 0;
    bool m_namesFlag[2] = {true, true};
    bool m_failedItems[2] = {false, false};

    bool m_batchBusy = false;
    int m_walksInProgress = 0;
    int m_batchUploads = 0;   // compared files of the busy batch that became uploads
    bool m_uploadBatch = false;  // uploads started that are still to be reported
    bool m_retryDue = false;     // the retry timer fired while a batch was busy
    bool m_userPausedUploads = false;  // the user had paused all when the process went offline
    std::vector<std::string> m_unsentNames;  // missing or unreadable, not yet reported
    bool m_closing = false;
};
