#include "cloud/MiscToolMgr.h"

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

void MiscToolMgr::requestNetworkCheck() {
    platform::CriticalSectionGuard guard(m_cs);
    m_requestKind = kNetworkCheck;
    m_requestEvent.Set();
}

int MiscToolMgr::GetRequestKind() const {
    platform::CriticalSectionGuard guard(const_cast<platform::CriticalSection&>(m_cs));
    return m_requestKind;
}

void MiscToolMgr::SetPaused(bool paused) {
    platform::CriticalSectionGuard guard(m_cs);
    m_paused = paused;
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
    const int kind = m_requestKind;
    // While offline only the network check is served; any other request is dropped, the way
    // going offline drops the queued work of this worker.
    if (m_paused && kind != kNetworkCheck) {
        m_requestKind = kNoRequest;
        return kNoRequest;
    }
    m_requestKind = kNoRequest;
    return kind;
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
        const int kind = TakeRequest();
        switch (kind) {
            case kNetworkCheck:
                CheckNetwork();
                break;
            case kNoRequest:
                break;
            default:
                // Nothing in this build asks for deleting files, folder listings, the paste
                // target or backup folder ids.
                LOGF(WARNING, "MiscToolMgr - request kind %d is not served", kind);
                break;
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
