#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <set>
#include <vector>

#include "cloud/CRequestContext.h"
#include "cloud/IFolderListingStore.h"
#include "core/CTaskThread.h"
#include "platform/Event.h"

// The worker for small server actions the window thread must not wait for. Requests are kinds
// plus an event: the kinds asked for and not yet served are kept as a set, each served once, in
// the order of their numbers, so a request made while another waits is never lost (asking for a
// kind already waiting adds nothing). Results go back as window messages to the notify window
// (the floating drop window) or into the folder listing store.
//
// It serves the deletion of files on the server, the network check, the folder listing of
// folder downloads, the paste of the clipboard placeholder and the cloud folders of the
// automatic backup's changed paths (the work for that is handed in: the backup lies above).
//
//     MiscToolMgr& misc = MiscToolMgr::GetInstance();
//     misc.SetNotifyWindow(dispatcher);  misc.SetFolderListingStore(&store);  misc.Start();
//     misc.requestNetworkCheck();        // later WM_NETWORK_OK or WM_NETWORK_ERROR
//     misc.requestFolderListing();       // later WM_C2L_DNLD_REQ
//     misc.Shutdown(5000);
class MiscToolMgr : public CTaskThread {
public:
    enum RequestKind {
        kDeleteFiles = 0,
        kNetworkCheck = 1,
        kFolderListing = 2,
        kPasteTarget = 3,
        kFolderIds = 4,
        kNoRequest = 5,
    };

    static MiscToolMgr& GetInstance();
    // The process uses the singleton; tests make their own.
    MiscToolMgr();
    ~MiscToolMgr() override;

    bool Start() override;

    // Asks whether the server can be reached again: WM_NETWORK_OK when it answers,
    // WM_NETWORK_ERROR when it cannot be reached or does not answer in time.
    void requestNetworkCheck();
    // Lists the folders waiting in the store, pass after pass, until none is left: each pass
    // lists every folder taken, hands the listings to the store and, when files were queued,
    // posts WM_C2L_DNLD_REQ; the subfolders found are the next pass. One more WM_C2L_DNLD_REQ
    // follows the last pass, so that the dispatcher sees the listing has ended.
    void requestFolderListing();
    void SetFolderListingStore(IFolderListingStore* store) { m_listingStore = store; }

    // Deletes the file on the server (an upload removed after its file was created there).
    // Deletions asked for while offline wait, and go when online again, so that no orphan is
    // left on the server; a refused one is logged and not tried again.
    void queueDeleteFile(int64_t fid);
    // Files still to be deleted.
    size_t GetDeleteQueueSize() const;
    int GetDeletedCount() const { return m_deleted; }

    // The clipboard placeholder was pasted into `folder` (called on the placeholder's thread):
    // WM_PASTE_DETECTED goes to the notify window with the folder as its record. A paste made
    // while offline waits for the online state.
    void requestPasteTarget(const std::filesystem::path& folder);

    // The automatic backup's hand-over of changed paths: finds their cloud folders and queues
    // their uploads through the context given; true when files were queued, which posts
    // WM_C2L_UPLD_REQ. Set before Start.
    using FolderIdsWork = std::function<bool(CRequestContext&)>;
    void SetFolderIdsWork(FolderIdsWork work);
    void requestFolderIds();

    // The first kind waiting (in the serving order), kNoRequest when none does.
    int GetRequestKind() const;
    // A folder listing is asked for or under way.
    bool IsListingFolders() const;

    // Offline: no request is acted on, except the network check, which is how the process
    // finds out that it can go online again; the other kinds wait until it is online.
    void SetPaused(bool paused);
    bool IsPaused() const { return m_paused; }

    // Ends the worker loop at its next turn.
    void SetStopFlag();
    // SetStopFlag, then waits for the thread; true when it has ended.
    bool Shutdown(uint32_t timeoutMs);

    // How many network checks and listing passes the worker has done since it was created.
    int GetNetworkCheckCount() const { return m_networkChecks; }
    int GetListingPassCount() const { return m_listingPasses; }

protected:
    void ThreadMain() override;

private:
    void Request(int kind);
    void RunServer();
    void CheckNetwork();
    void ListFolders();
    void DeleteFiles();
    void ReportPastes();
    void FindFolderIds();
    // Lists the pass's folders; returns the files queued. Folders left unlisted go back.
    size_t ListPass(std::vector<IFolderListingStore::Folder> folders);
    bool Interrupted() const { return IsQuit() || m_paused; }
    int TakeRequest();

    platform::Event m_requestEvent{false, false};  // auto-reset: one per request
    platform::Event m_wakeEvent{false, false};     // auto-reset: sees the stop flag
    std::atomic<bool> m_paused{false};
    std::set<int> m_pending;  // guarded by m_cs
    std::deque<int64_t> m_deleteQueue;                 // guarded by m_cs
    std::vector<std::filesystem::path> m_pasteTargets;  // guarded by m_cs
    std::atomic<int> m_deleted{0};
    std::atomic<bool> m_listing{false};
    std::atomic<int> m_networkChecks{0};
    std::atomic<int> m_listingPasses{0};
    IFolderListingStore* m_listingStore = nullptr;
    FolderIdsWork m_folderIdsWork;  // guarded by m_cs
    CRequestContext m_context;
};
