#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "dispatch/DispatcherFlow.h"

struct CalcShaResult;

// The road of an upload request, from the page's paths to the report of the batch.
//
// The paths are taken as a batch (OnSpecificDragFileInfo); folders are walked (TravelDirMgr),
// files are hashed five at a time (ComputeShaMgr), hashed files are compared with the server
// folder (CompareFileMgr), compared files become uploads of the transfer manager's queue
// (UploadQueue), and when the queue has emptied the batch is reported to the page, failures
// retried after 5, 10 and 15 seconds first.
//
// A batch is busy from its start until every path of it has been walked, hashed and compared;
// the next request waits until then. It has ended when nothing of it is walked, hashed or
// compared any more (counted here and by the backup file list), not when some message says so.
class UploadFlow : public DispatcherFlow {
public:
    static constexpr int kMaxHashJobs = 5;
    static constexpr int kMaxRetries = 3;
    static constexpr size_t kMaxReportedFailures = 5;

    explicit UploadFlow(DispatcherContext& context) : DispatcherFlow(context) {}

    // ---- requests and reports ----
    void OnC2LUpldReq();
    void OnSpecificDragFileInfo();
    void OnTravelDirDone(bool walkEnded);
    void OnCreateDirFail(const std::string& folderName);
    // WM_TRAVEL_SKIPPED: entries of a dropped folder that are not sent and that the page
    // hears of as failed with the batch's end.
    void OnWalkSkipped(const std::vector<std::filesystem::path>* paths);
    void startCalcSha();
    void invokeToCalcSha(const std::filesystem::path& path);
    void OnCalcShaFinish(const CalcShaResult* result);
    void OnBackupNotify();
    void OnCmpLoopOver();
    void OnUpldFinish();
    void OnUpldCancel();
    // Timer kTimerRetry.
    void OnRetryTimer();

    // ---- for the other flows ----
    // Offline: everything pauses where it stands.
    void PauseForOffline();
    // Online again: everything paused goes on.
    void ResumeAfterOffline();
    // The stored uploads the start-up restore put back (`paused`: they wait for start all).
    void StartRestoredUploads(bool paused);
    // The closing order's shares of uploads: walks, hashes and the comparison are told to
    // stop; then running transfers stop where they are and the upload pool is joined.
    void StopWorkersForClose();
    void StopTransfersForClose();
    // Restored dropped folders that had to wait for restored uploads, once the queue is idle.
    void RestoreCarriedDragDirs();

    // The transfer manager's upload page clears the names flag when its list is emptied: the
    // end of the next batch is then reported with simple 12 instead of names.
    void SetNamesFlag(bool set) { m_namesFlag = set; }

    int GetNowCalcCount() const { return m_nowCalcCount; }
    int GetRetryCount() const { return m_retryCount; }
    int GetWalksInProgress() const { return m_walksInProgress; }
    bool IsBatchBusy() const { return m_batchBusy; }
    bool HasUploadBatch() const { return m_uploadBatch; }

private:
    // Ends the busy batch once nothing of it is walked, hashed or compared any more.
    void MaybeEndBatch();
    // The batch's walks, hashes and comparisons are over: the next request goes on (with
    // `startNext`, else the caller takes it), or uploads that have all ended are reported, or
    // an empty batch is.
    void EndBatch(bool startNext);
    // The end of a batch that produced no upload, with no request after it: simple 9 or 11
    // by the work state and the transfer state, or a retry of failed uploads.
    void EndEmptyBatch();
    // The next automatic retry of the failed uploads, unless the three are used up (the count
    // starts again then). True when one was scheduled.
    bool ScheduleRetry();
    // The uploads of the batches have all ended: retry, or report to the page.
    void FinishUploads();
    // Starts the next waiting request unless a batch is busy.
    void StartNextRequest();
    // The queue takes the waiting records of the backup file list and starts them.
    void StartUploads();
    void RestartFailedUploads();
    bool HasRetryableFailures() const;
    void ReportFailures();
    bool QueueBusy() const;
    // A file that could not be sent: reported to the page with the failed uploads.
    void NoteUnsent(const std::filesystem::path& path);
    // A batch that ends unreported (downloads still run) drops its names.
    void ForgetBatchReport();


    int m_nowCalcCount = 0;
    int m_retryCount = 0;
    bool m_namesFlag = true;
    bool m_failedItems = false;

    bool m_batchBusy = false;
    int m_walksInProgress = 0;
    int m_batchUploads = 0;            // compared files of the busy batch that became uploads
    bool m_uploadBatch = false;        // uploads started that are still to be reported
    bool m_retryDue = false;           // the retry timer fired while a batch was busy
    bool m_userPausedUploads = false;  // the user had paused all when the process went offline
    std::vector<std::string> m_unsentNames;  // missing or unreadable, not yet reported
};
