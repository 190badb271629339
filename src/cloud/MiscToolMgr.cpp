#include "cloud/MiscToolMgr.h"

#include <utility>

#include "cloud/CloudApi.h"
#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "platform/WaitableObject.h"
#include "platform/WindowRegistry.h"

MiscToolMgr& MiscToolMgr::GetInstance() {
    static MiscToolMgr* instance = new MiscToolMgr();  // lives until process exit
    return *instance;
}

MiscToolMgr::MiscToolMgr() = default;

MiscToolMgr::~MiscToolMgr() {
    // The thread runs this object's code: it must have ended before the members go.
    Shutdown(platform::kInfinite);
}

bool MiscToolMgr::Start() { return CTaskThread::Start(); }

void MiscToolMgr::Request(int kind) {
    platform::CriticalSectionGuard guard(m_cs);
    m_pending.insert(kind);
    m_requestEvent.Set();
}

void MiscToolMgr::requestNetworkCheck() { Request(kNetworkCheck); }

void MiscToolMgr::requestFolderListing() { Request(kFolderListing); }

void MiscToolMgr::SetFolderIdsWork(FolderIdsWork work) {
    platform::CriticalSectionGuard guard(m_cs);
    m_folderIdsWork = std::move(work);
}

void MiscToolMgr::requestFolderIds() { Request(kFolderIds); }

void MiscToolMgr::queueDeleteFile(int64_t fid) {
    if (fid <= 0) {
        return;
    }
    {
        platform::CriticalSectionGuard guard(m_cs);
        m_deleteQueue.push_back(fid);
    }
    Request(kDeleteFiles);
}

size_t MiscToolMgr::GetDeleteQueueSize() const {
    platform::CriticalSectionGuard guard(const_cast<platform::CriticalSection&>(m_cs));
    return m_deleteQueue.size();
}

void MiscToolMgr::requestPasteTarget(const std::filesystem::path& folder) {
    {
        platform::CriticalSectionGuard guard(m_cs);
        m_pasteTargets.push_back(folder);
    }
    Request(kPasteTarget);
}

int MiscToolMgr::GetRequestKind() const {
    platform::CriticalSectionGuard guard(const_cast<platform::CriticalSection&>(m_cs));
    return m_pending.empty() ? kNoRequest : *m_pending.begin();
}

bool MiscToolMgr::IsListingFolders() const {
    platform::CriticalSectionGuard guard(const_cast<platform::CriticalSection&>(m_cs));
    return m_listing || m_pending.count(kFolderListing) > 0;
}

void MiscToolMgr::SetPaused(bool paused) {
    platform::CriticalSectionGuard guard(m_cs);
    m_paused = paused;
    // Deletions asked for while offline, or cut short by it, are kept: they go when online.
    if (!paused && !m_deleteQueue.empty()) {
        m_pending.insert(kDeleteFiles);
    }
    if (!paused && !m_pending.empty()) {
        m_requestEvent.Set();  // what waited while offline is served now
    }
}

void MiscToolMgr::SetStopFlag() {
    {
        platform::CriticalSectionGuard guard(m_cs);
        SetQuit(true);
    }
    m_wakeEvent.Set();
}

bool MiscToolMgr::Shutdown(uint32_t timeoutMs) {
    SetStopFlag();
    const bool ended = WaitForExit(timeoutMs);
    Stop();
    return ended;
}

void MiscToolMgr::ThreadMain() { RunServer(); }

int MiscToolMgr::TakeRequest() {
    platform::CriticalSectionGuard guard(m_cs);
    // While offline only the network check is served; the other kinds wait for the online
    // state (SetPaused wakes the worker for them).
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (m_paused && *it != kNetworkCheck) {
            continue;
        }
        const int kind = *it;
        m_pending.erase(it);
        if (kind == kFolderListing) {
            m_listing = true;  // under the lock: IsListingFolders never sees a gap
        }
        return kind;
    }
    return kNoRequest;
}

void MiscToolMgr::RunServer() {
    while (!IsQuit()) {
        const int which = platform::WaitAny({&m_requestEvent, &m_wakeEvent});
        if (IsQuit()) {
            break;
        }
        if (which != 0) {
            continue;
        }
        for (int kind = TakeRequest(); kind != kNoRequest && !IsQuit(); kind = TakeRequest()) {
            switch (kind) {
                case kNetworkCheck:
                    CheckNetwork();
                    break;
                case kFolderListing:
                    ListFolders();
                    break;
                case kDeleteFiles:
                    DeleteFiles();
                    break;
                case kPasteTarget:
                    ReportPastes();
                    break;
                case kFolderIds:
                    FindFolderIds();
                    break;
                default:
                    LOGF(WARNING, "MiscToolMgr - request kind %d is not served", kind);
                    break;
            }
        }
    }
    VLOG(1) << "MiscToolMgr::RunServer - ended";
}

void MiscToolMgr::CheckNetwork() {
    ++m_networkChecks;
    m_context.SetNotifyWindow(GetNotifyWindow());
    const CURLcode result = CloudApi::CheckNetwork(m_context);
    VLOGF(1, "MiscToolMgr::CheckNetwork - result %d", static_cast<int>(result));
    // Success posts WM_NETWORK_OK and a host that cannot be resolved or reached posts
    // WM_NETWORK_ERROR from the request itself. Any other failure (a server that accepts but
    // does not answer, a reset connection) must count as an error too: nothing else would ask
    // again, and the process would stay offline for good.
    if (result != CURLE_OK && result != CURLE_COULDNT_RESOLVE_HOST &&
        result != CURLE_COULDNT_CONNECT) {
        platform::PostMessage(m_context.NotifyWindow(), WM_NETWORK_ERROR);
    }
}

void MiscToolMgr::ListFolders() {
    m_context.SetNotifyWindow(GetNotifyWindow());
    if (m_listingStore) {
        while (!Interrupted()) {
            std::vector<IFolderListingStore::Folder> folders = m_listingStore->takeFoldersToList();
            if (folders.empty()) {
                break;
            }
            ++m_listingPasses;
            if (ListPass(std::move(folders)) > 0) {
                platform::PostMessage(GetNotifyWindow(), WM_C2L_DNLD_REQ);
            }
        }
    }
    m_listing = false;
    // The dispatcher waits for the listing before it calls the downloads finished.
    platform::PostMessage(GetNotifyWindow(), WM_C2L_DNLD_REQ);
}

size_t MiscToolMgr::ListPass(std::vector<IFolderListingStore::Folder> folders) {
    size_t queued = 0;
    for (size_t i = 0; i < folders.size(); ++i) {
        const IFolderListingStore::Folder& folder = folders[i];
        if (Interrupted()) {
            m_listingStore->returnFolders({folders.begin() + static_cast<std::ptrdiff_t>(i),
                                           folders.end()});
            return queued;
        }
        VLOGF(1, "MiscToolMgr::getSubFiles %d for %s", folder.fid, folder.local.string());
        const SubFilesResult listing = CloudApi::GetSubFiles(m_context, folder.fid, folder.share);
        const CURLcode result = listing.reply.result;
        if (result == CURLE_COULDNT_RESOLVE_HOST || result == CURLE_COULDNT_CONNECT) {
            // The server cannot be reached (the request told the dispatcher, which goes
            // offline): the folders wait for the listing that going online asks for.
            LOGF(ERROR, "MiscToolMgr::getSubFiles failed for %s: %s", folder.local.string(),
                 listing.reply.ErrorText());
            m_listingStore->returnFolders({folders.begin() + static_cast<std::ptrdiff_t>(i),
                                           folders.end()});
            return queued;
        }
        if (!listing.ok) {
            LOGF(ERROR, "MiscToolMgr::getSubFiles refused for %s: %s", folder.local.string(),
                 listing.reply.ErrorText());
            m_listingStore->listingFailed(folder);
            continue;
        }
        queued += m_listingStore->addListing(folder, listing.files);
    }
    return queued;
}

void MiscToolMgr::DeleteFiles() {
    m_context.SetNotifyWindow(GetNotifyWindow());
    while (!Interrupted()) {
        int64_t fid = 0;
        {
            platform::CriticalSectionGuard guard(m_cs);
            if (m_deleteQueue.empty()) {
                return;
            }
            fid = m_deleteQueue.front();
        }
        VLOGF(1, "MiscToolMgr::deleteFile %lld", static_cast<long long>(fid));
        const ActionResult result = CloudApi::DeleteFile(m_context, fid);
        const CURLcode transport = result.reply.result;
        if (transport == CURLE_COULDNT_RESOLVE_HOST || transport == CURLE_COULDNT_CONNECT) {
            // Unreachable: the request told the dispatcher, which goes offline; the deletion
            // stays queued for the online state.
            LOGF(ERROR, "MiscToolMgr::deleteFile %lld waits: %s", static_cast<long long>(fid),
                 result.reply.ErrorText());
            return;
        }
        {
            platform::CriticalSectionGuard guard(m_cs);
            m_deleteQueue.pop_front();
        }
        if (result.ok) {
            ++m_deleted;
        } else {
            LOGF(ERROR, "MiscToolMgr::deleteFile %lld failed: %s", static_cast<long long>(fid),
                 result.reply.ErrorText());
        }
    }
    // Paused or stopping: what is left stays queued for the online state.
}

void MiscToolMgr::FindFolderIds() {
    FolderIdsWork work;
    {
        platform::CriticalSectionGuard guard(m_cs);
        work = m_folderIdsWork;
    }
    if (!work) {
        LOG(WARNING) << "MiscToolMgr - backup folder ids asked for, and no backup to serve them";
        return;
    }
    m_context.SetNotifyWindow(GetNotifyWindow());
    if (work(m_context)) {
        platform::PostMessage(GetNotifyWindow(), WM_C2L_UPLD_REQ);
    }
}

void MiscToolMgr::ReportPastes() {
    std::vector<std::filesystem::path> targets;
    {
        platform::CriticalSectionGuard guard(m_cs);
        targets.swap(m_pasteTargets);
    }
    for (auto& folder : targets) {
        VLOGF(1, "MiscToolMgr - the clipboard placeholder was pasted into %s", folder.string());
        platform::PostMessage(GetNotifyWindow(),
                              platform::Message(WM_PASTE_DETECTED,
                                                platform::MakePayload<std::filesystem::path>(folder)));
    }
}
