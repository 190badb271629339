#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "cloud/CRequestContext.h"
#include "core/CTaskThread.h"
#include "platform/Event.h"

// The worker for small server actions the window thread must not wait for. Requests are a
// kind plus an event: a request made before the worker took the previous one replaces it.
// Results go back as window messages to the notify window (the floating drop window).
//
// This build serves the network check; no part of it asks for the other kinds (deleting
// files, folder listings for downloads, the paste target, backup folder ids).
//
//     MiscToolMgr& misc = MiscToolMgr::GetInstance();
//     misc.SetNotifyWindow(dispatcher);  misc.Start();
//     misc.requestNetworkCheck();        // later WM_NETWORK_OK or WM_NETWORK_ERROR
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
    int GetRequestKind() const;

    // Offline: no request is acted on, except the network check, which is how the process
    // finds out that it can go online again.
    void SetPaused(bool paused);
    bool IsPaused() const { return m_paused; }

    // Ends the worker loop at its next turn.
    void SetStopFlag();
    // SetStopFlag, then waits for the thread; true when it has ended.
    bool Shutdown(uint32_t timeoutMs);

    // How many network checks the worker has done since it was created.
    int GetNetworkCheckCount() const { return m_networkChecks; }

protected:
    void ThreadMain() override;

private:
    void RunServer();
    void CheckNetwork();
    int TakeRequest();

    platform::Event m_requestEvent{false, false};  // auto-reset: one per request
    platform::Event m_wakeEvent{false, false};     // auto-reset: sees the stop flag
    std::atomic<bool> m_paused{false};
    int m_requestKind = kNoRequest;  // guarded by m_cs
    std::atomic<int> m_networkChecks{0};
    CRequestContext m_context;
};
