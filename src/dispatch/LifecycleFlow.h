#pragma once

#include "dispatch/DispatcherFlow.h"

class DownloadFlow;
class LocalEditFlow;
class UploadFlow;

// The dispatcher's start and end: the stored uploads and downloads resume when the windows
// exist and are kept stored as they change; the page's quit (or its leaving) closes the program in a fixed
// order.
class LifecycleFlow : public DispatcherFlow {
public:
    LifecycleFlow(DispatcherContext& context, UploadFlow& uploads, DownloadFlow& downloads,
                  LocalEditFlow& localEdit)
        : DispatcherFlow(context), m_uploads(uploads), m_downloads(downloads), m_localEdit(localEdit) {}

    // Start-up, once the windows exist: resumes the stored uploads, then the stored downloads,
    // and starts keeping them.
    void InitDispatcher();
    void resumeUploads();
    // The page quit or left (WM_CLIENT_MSG_COME).
    void OnClientMsgCome();
    // The closing order (runs once): stops the workers, stores the unfinished uploads and
    // downloads.
    void OnClose();
    // Stores the unfinished uploads now when they changed (always with `force`).
    void SaveUnfinishedUploads(bool force);
    // kTimerSaveUnfinished; false for other timers.
    bool OnTimer(uint32_t timerId);

private:
    UploadFlow& m_uploads;
    DownloadFlow& m_downloads;
    LocalEditFlow& m_localEdit;
};
