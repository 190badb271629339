#pragma once

#include <cstdint>

#include "dispatch/BackupFlow.h"
#include "dispatch/ClipboardFlow.h"
#include "dispatch/ConnectivityFlow.h"
#include "dispatch/DispatcherContext.h"
#include "dispatch/DownloadFlow.h"
#include "dispatch/IDispatcherView.h"
#include "dispatch/LifecycleFlow.h"
#include "dispatch/LocalEditFlow.h"
#include "dispatch/UploadFlow.h"
#include "platform/Message.h"

class DownloadQueue;
class LocalEditMgr;
class UploadQueue;

// The process's dispatcher: every request of the web page and every report of a worker arrives
// as a window message posted to the floating drop window, which hands it here. The handlers run
// on the window's thread, one at a time, in arrival order; they decide which manager gets the
// work next, when a batch starts and when it has ended, how failures are retried, what the page
// is told, and when the process goes offline, comes back online, or quits.
//
// The work is split by flow, one class each: uploads, downloads, local edit, automatic backup,
// clipboard, connectivity (offline, online, network checks), and the start-up resume and
// shutdown. HandleMessage below is the one table of which message goes to which handler.
class RequestDispatcher {
public:
    using enum WorkState;
    using Timings = DispatcherTimings;

    explicit RequestDispatcher(IDispatcherView& view);
    RequestDispatcher(const RequestDispatcher&) = delete;
    RequestDispatcher& operator=(const RequestDispatcher&) = delete;

    // The drop window: timers run on it and workers report to it.
    void SetWindow(platform::WindowHandle window) { m_context.SetWindow(window); }
    platform::WindowHandle GetWindow() const { return m_context.Window(); }
    // The transfer manager's upload queue (owned by the transfer manager window).
    void SetUploadQueue(UploadQueue* queue) {
        m_context.SetUploadQueue(queue);
        m_localEdit.ConnectQueue(queue);
    }
    // The local edit manager; null (the default) is LocalEditMgr::GetInstance().
    void SetLocalEditMgr(LocalEditMgr* manager) { m_localEdit.SetLocalEditMgr(manager); }
    // The transfer manager's download queue (owned by the transfer manager window).
    void SetDownloadQueue(DownloadQueue* queue) { m_context.SetDownloadQueue(queue); }
    void SetTimings(const Timings& timings) { m_context.SetTimings(timings); }
    // The clipboard placeholder that a paste of copied cloud files reads (owned by the entry).
    void SetClipboardPlaceholder(platform::ClipboardPlaceholder* placeholder) {
        m_clipboard.SetPlaceholder(placeholder);
    }

    // Start-up, once the windows exist: resumes the stored uploads and downloads and starts
    // keeping them.
    void InitDispatcher() { m_lifecycle.InitDispatcher(); }

    // The program's messages (WM_USER and above) and the dispatcher's timers. True when
    // handled.
    bool HandleMessage(platform::Message& message);
    bool OnTimer(uint32_t timerId);

    // Files dropped on the window, stored as an upload request.
    void OnSpecificDragFileInfo() { m_uploads.OnSpecificDragFileInfo(); }
    // The menu's "m_resume" while offline.
    void OnMenuResume() { m_connectivity.OnMenuResume(); }
    // The menu's "m_start": every upload and download starts again, and the transfer state
    // and the window's look follow what runs (both: the icon alternates).
    void OnMenuStart();
    // The menu's "m_pause": every upload and download pauses (the queues report it).
    void OnMenuPause();
    // The transfer manager's cancel all.
    void OnCancelAll();
    void OnShowHide();
    // The clipboard let our copy go (another copy replaced it).
    void OnClipboardReleased() { m_clipboard.OnClipboardReleased(); }
    const std::filesystem::path& GetPasteTarget() const { return m_clipboard.GetPasteTarget(); }

    // The closing order (runs once).
    void OnClose() { m_lifecycle.OnClose(); }
    bool IsClosing() const { return m_context.IsClosing(); }

    // The transfer manager's list pages clear a direction's names flag when their list is
    // emptied: the end of the next batch is then reported with simple 12 instead of names.
    void SetNamesFlag(bool uploads, bool set);

    void SaveUnfinishedUploads(bool force) { m_lifecycle.SaveUnfinishedUploads(force); }
    void SaveUnfinishedDownloads(bool force) { m_downloads.SaveUnfinished(force); }
    UnfinishedUploadsSaver& GetSaver() { return m_context.Saver(); }

    // ---- state, for the window and for tests ----
    int GetNowCalcCount() const { return m_uploads.GetNowCalcCount(); }
    int GetRetryCount() const { return m_uploads.GetRetryCount(); }
    int GetWalksInProgress() const { return m_uploads.GetWalksInProgress(); }
    bool IsBatchBusy() const { return m_uploads.IsBatchBusy(); }
    bool HasUploadBatch() const { return m_uploads.HasUploadBatch(); }
    int GetDnldRetryCount() const { return m_downloads.GetRetryCount(); }
    bool HasDownloadBatch() const { return m_downloads.HasDownloadBatch(); }
    int GetNetworkErrorCount() const { return m_connectivity.GetNetworkErrorCount(); }
    int GetNetworkOkCount() const { return m_connectivity.GetNetworkOkCount(); }

private:
    DispatcherContext m_context;
    UploadFlow m_uploads;
    DownloadFlow m_downloads;
    LocalEditFlow m_localEdit;
    BackupFlow m_backup;
    ClipboardFlow m_clipboard;
    ConnectivityFlow m_connectivity;
    LifecycleFlow m_lifecycle;
};
