#pragma once

#include <filesystem>
#include <vector>

#include "dispatch/DispatcherFlow.h"

class LocalEditMgr;
class UploadQueue;
struct CalcShaResult;
struct DownloadEndInfo;
struct DownloadStatus;

// Local editing: a cloud file is downloaded into the edit folder and opened; every saved
// change is hashed and uploaded back while the file is locked on the server. The local edit
// manager keeps the edited files; this flow hands it the page's requests and the workers'
// reports, and starts the uploads of new versions on the transfer manager's queue, whose ends
// go back to the manager.
//
// Offline, the helper stops (its queued hashes and lock renewals are dropped) and edits wait:
// saves are still taken; when the process is online the dropped hashes are made again and the
// uploads start with the others.
class LocalEditFlow : public DispatcherFlow {
public:
    explicit LocalEditFlow(DispatcherContext& context) : DispatcherFlow(context) {}

    // The manager the flow works with; null (the default) is LocalEditMgr::GetInstance().
    void SetLocalEditMgr(LocalEditMgr* manager) { m_manager = manager; }
    // Uploads of edited files enter the queue before other waiting files and report their
    // ends to the manager.
    void ConnectQueue(UploadQueue* queue);

    void OnLocalEditReq();                                    // WM_LOCALEDIT_REQ
    // New versions are ready to upload; false when none was taken.
    bool OnLocalEditSha();                                    // WM_LOCALEDIT_SHA
    void OnLocalEditDnldFinish(const DownloadEndInfo* end,
                               const DownloadStatus* status);  // WM_LOCALEDIT_DNLD_END
    void OnLocalEditNames();                                  // WM_LOCALEDIT_NAMES
    void OnOpenEditDir();                                     // WM_OPEN_EDIT_DIR
    void OnFileChange(const std::vector<std::filesystem::path>* paths);  // WM_LOCALEDIT_FILE_CHANGE
    void OnHashDone(const CalcShaResult* result);             // WM_LOCALEDIT_HASH_DONE

    // Start-up: the edits the last run left pending are taken up again.
    void ResumePending();
    // Offline: the helper stops its work.
    void PauseForOffline();
    // Online again: requests and versions that waited go on.
    void ResumeAfterOffline();
    // The closing order: the download stops, the helper is told to end, the edits still
    // pending are stored.
    void StopForClose();

private:
    LocalEditMgr& Mgr();

    LocalEditMgr* m_manager = nullptr;
};
