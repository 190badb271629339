#pragma once

#include <cstddef>

#include "dispatch/DispatcherFlow.h"

// The road of a download request: the page's files (type 7) and files and folders (type 11)
// become downloads of the transfer manager's download queue; folders are listed by the server
// actions worker first, pass after pass, and what it finds comes back as further requests.
// When nothing runs, waits or is still to be listed, the batch has ended: failures are retried
// after 5, 10 and 15 seconds, then the page is told the finished names (type 4) or at most five
// failed ones (type 6).
class DownloadFlow : public DispatcherFlow {
public:
    static constexpr int kMaxRetries = 3;
    static constexpr size_t kMaxReportedFailures = 5;

    explicit DownloadFlow(DispatcherContext& context) : DispatcherFlow(context) {}

    // WM_C2L_DNLD_REQ, and WM_BATCH_DNLD_REQ with `withFolders`.
    void OnC2LDnldReq(bool withFolders);
    // WM_DNLD_ALL_DONE.
    void OnDnldFinish();
    // Timer kTimerDnldRetry.
    void OnRetryTimer();

    // ---- for the other flows ----
    // Offline: running downloads pause where they stand (their cache files keep the bytes).
    void PauseForOffline();
    // Online again: what paused goes on, what failed meanwhile is tried again, and requests
    // and folders stored while offline are taken up.
    void ResumeAfterOffline();
    // Start-up: the stored unfinished downloads come back and go on from their cache files.
    void resumeDownloads();
    // The closing order's share of downloads: running downloads stop where they are and both
    // download pools are joined.
    void StopTransfersForClose();
    // Stores the unfinished downloads now when they changed (always with `force`).
    void SaveUnfinished(bool force);

    // The transfer manager's download page clears the names flag when its list is emptied.
    void SetNamesFlag(bool set) { m_namesFlag = set; }
    int GetRetryCount() const { return m_retryCount; }
    bool HasDownloadBatch() const { return m_dnldBatch; }

private:
    // The queue takes what FileDownloadMgr holds; when downloads begin to run the transfer
    // state, the work state, the window's look and the page follow.
    void StartDownloads();
    // Downloads that were all held run again (a retry, online): the state and the look follow.
    void ShowRunningAgain(bool wasRunning);
    void FinishDownloads();
    void ReportBatch();
    bool ListingUnderWay() const;

    int m_retryCount = 0;
    bool m_namesFlag = true;
    bool m_dnldBatch = false;            // downloads taken that are still to be reported
    bool m_userPausedDownloads = false;  // the user had paused all when the process went offline
};
