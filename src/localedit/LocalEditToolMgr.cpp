#include "localedit/LocalEditToolMgr.h"

#include <mutex>
#include <set>
#include <utility>

#include "cloud/CloudApi.h"
#include "core/FixedDelays.h"
#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "platform/SystemInfo.h"
#include "platform/WaitableObject.h"
#include "platform/WindowRegistry.h"
#include "upload/CEasyUploader.h"
#include "upload/CalcShaResult.h"
#include "upload/ComputeShaHandler.h"

namespace fs = std::filesystem;

namespace {

// The upload transfer has one lock hook for the process; the helper that connected it is the
// only one that may take it away again.
std::mutex g_hookMutex;
LocalEditToolMgr* g_hookOwner = nullptr;

}  // namespace

LocalEditToolMgr& LocalEditToolMgr::GetInstance() {
    static LocalEditToolMgr* instance = new LocalEditToolMgr();  // lives until process exit
    return *instance;
}

LocalEditToolMgr::LocalEditToolMgr() = default;

LocalEditToolMgr::~LocalEditToolMgr() {
    // The thread runs this object's code: it must have ended before the members go.
    Shutdown(platform::kInfinite);
}

bool LocalEditToolMgr::Start() {
    const bool started = CTaskThread::Start();
    ConnectLockHook();
    return started;
}

void LocalEditToolMgr::SetStopFlag() {
    {
        platform::CriticalSectionGuard guard(m_cs);
        SetQuit(true);
    }
    m_wakeEvent.Set();
}

bool LocalEditToolMgr::Shutdown(uint32_t timeoutMs) {
    DisconnectLockHook();
    SetStopFlag();
    const bool ended = WaitForExit(timeoutMs);
    Stop();
    return ended;
}

void LocalEditToolMgr::ConnectLockHook() {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_hookOwner = this;
    m_hookConnected = true;
    CEasyUploader::SetLockHandler(
        [this](int64_t fid, const std::string& lockKey) { lockFile(fid, lockKey); });
}

void LocalEditToolMgr::DisconnectLockHook() {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    if (m_hookConnected && g_hookOwner == this) {
        CEasyUploader::SetLockHandler(nullptr);
        g_hookOwner = nullptr;
    }
    m_hookConnected = false;
}

void LocalEditToolMgr::addCalcShaFiles(const std::vector<fs::path>& paths) {
    VLOG(1) << "LocalEditToolMgr::addCalcShaFiles";
    {
        platform::CriticalSectionGuard guard(m_cs);
        m_stopping = false;
        m_hashQueue.insert(m_hashQueue.end(), paths.begin(), paths.end());
    }
    m_commandEvent.Set();
}

void LocalEditToolMgr::lockFile(int64_t fid, const std::string& lockKey) {
    VLOGF(1, "LocalEditToolMgr::lockFile %d", fid);
    {
        platform::CriticalSectionGuard guard(m_cs);
        m_stopping = false;
        m_filesToLock[fid] = lockKey;
        // The new upload holds the lock now: an unlock of the previous one still on its way
        // would take it away under it.
        m_filesToUnlock.erase(fid);
        m_unlockRetries.erase(fid);
        if (m_nextRenewalMs == 0) {
            ArmRenewal(platform::TickCountMs());
        }
    }
    m_commandEvent.Set();
}

void LocalEditToolMgr::unlockFile(int64_t fid, const std::string& lockKey) {
    VLOGF(1, "LocalEditToolMgr::unlockFile %d", fid);
    {
        platform::CriticalSectionGuard guard(m_cs);
        m_filesToLock.erase(fid);
        m_unlockRetries.erase(fid);
        m_filesToUnlock[fid] = lockKey;
        if (m_filesToLock.empty() && m_unlockRetries.empty()) {
            m_nextRenewalMs = 0;
        }
    }
    m_commandEvent.Set();
}

void LocalEditToolMgr::stopAll() {
    VLOG(1) << "LocalEditToolMgr::stopAll";
    {
        platform::CriticalSectionGuard guard(m_cs);
        m_stopping = true;
        m_filesToLock.clear();
        m_hashQueue.clear();
        if (m_unlockRetries.empty()) {
            m_nextRenewalMs = 0;
        }
    }
    m_wakeEvent.Set();
}

LocalEditToolMgr::Stats LocalEditToolMgr::GetStats() const {
    Stats stats;
    stats.hashes = m_hashes;
    stats.lockRequests = m_lockRequests;
    stats.lockFailures = m_lockFailures;
    stats.unlockRequests = m_unlockRequests;
    stats.unlockFailures = m_unlockFailures;
    platform::CriticalSectionGuard guard(const_cast<platform::CriticalSection&>(m_cs));
    stats.filesLocked = m_filesToLock.size();
    stats.unlocksWaiting = m_filesToUnlock.size() + m_unlockRetries.size() + m_unlocksInFlight;
    stats.renewalArmed = m_nextRenewalMs != 0;
    return stats;
}

std::vector<int64_t> LocalEditToolMgr::UnansweredUnlocks() const {
    platform::CriticalSectionGuard guard(const_cast<platform::CriticalSection&>(m_cs));
    std::set<int64_t> fids(m_unlockFidsInFlight);
    for (const auto* map : {&m_filesToLock, &m_filesToUnlock, &m_unlockRetries}) {
        for (const auto& [fid, key] : *map) {
            fids.insert(fid);
        }
    }
    return {fids.begin(), fids.end()};
}

void LocalEditToolMgr::ArmRenewal(uint64_t nowMs) {
    m_nextRenewalMs = nowMs + FixedDelays::Ms(FixedDelay::kLockRenewal);
}

uint32_t LocalEditToolMgr::TimeUntilRenewal() {
    platform::CriticalSectionGuard guard(m_cs);
    if (m_nextRenewalMs == 0) {
        return platform::kInfinite;
    }
    const uint64_t now = platform::TickCountMs();
    return m_nextRenewalMs > now ? static_cast<uint32_t>(m_nextRenewalMs - now) : 0;
}

LocalEditToolMgr::Work LocalEditToolMgr::TakeWork() {
    platform::CriticalSectionGuard guard(m_cs);
    Work work;
    if (!m_stopping) {
        work.hashes = std::exchange(m_hashQueue, {});
    }
    work.unlocks = std::exchange(m_filesToUnlock, {});
    const uint64_t now = platform::TickCountMs();
    if (m_nextRenewalMs != 0 && now >= m_nextRenewalMs) {
        work.locks = m_filesToLock;
        work.unlocks.merge(m_unlockRetries);
        m_unlockRetries.clear();
        // The renewals keep their cadence, however long the other work of a turn takes,
        // unless a whole period went by meanwhile.
        const uint64_t next = m_nextRenewalMs + FixedDelays::Ms(FixedDelay::kLockRenewal);
        m_nextRenewalMs = next > now ? next : now + FixedDelays::Ms(FixedDelay::kLockRenewal);
        if (m_filesToLock.empty()) {
            m_nextRenewalMs = 0;  // armed again by an unlock that is not answered
        }
    }
    m_unlocksInFlight = work.unlocks.size();
    m_unlockFidsInFlight.clear();
    for (const auto& [fid, key] : work.unlocks) {
        m_unlockFidsInFlight.insert(fid);
    }
    return work;
}

void LocalEditToolMgr::ThreadMain() {
    while (!IsQuit()) {
        const int which = platform::WaitAny({&m_commandEvent, &m_wakeEvent}, TimeUntilRenewal());
        if (IsQuit()) {
            break;
        }
        if (which == 1) {
            continue;  // woken for a stop, which the next turn's work sees
        }
        Work work = TakeWork();
        m_context.SetNotifyWindow(GetNotifyWindow());
        if (!work.hashes.empty()) {
            calcSha(work.hashes);
        }
        if (!work.unlocks.empty()) {
            SendUnlocks(work.unlocks);
        }
        if (!work.locks.empty()) {
            SendLocks(work.locks);
        }
    }
    VLOG(1) << "LocalEditToolMgr - ended";
}

void LocalEditToolMgr::calcSha(const std::vector<fs::path>& paths) {
    VLOG(1) << "LocalEditToolMgr::calcSha";
    const auto goOn = [this] { return !IsQuit() && !m_stopping; };
    for (const fs::path& path : paths) {
        if (!goOn()) {
            return;
        }
        std::string hash;
        int64_t size = 0;
        if (!ComputeShaHandler::GenerateQuorvaFileHash(path, hash, size, goOn)) {
            return;  // stopped in the middle: the manager asks again when it needs it
        }
        ++m_hashes;
        if (!platform::PostMessage(
                GetNotifyWindow(),
                platform::Message(WM_LOCALEDIT_HASH_DONE, platform::MakePayload<CalcShaResult>(
                                                              CalcShaResult{path, hash, size})))) {
            LOGF(WARNING, "LocalEditToolMgr::calcSha - no window for the hash of %s",
                 path.string());
        }
    }
}

bool LocalEditToolMgr::IsLocked(int64_t fid) {
    platform::CriticalSectionGuard guard(m_cs);
    return m_filesToLock.count(fid) > 0;
}

bool LocalEditToolMgr::NotAnswered(const ServerReply& reply) {
    return reply.result != CURLE_OK || reply.httpCode >= 500 || !reply.parsed;
}

void LocalEditToolMgr::PostNetworkError(const ServerReply& reply) {
    // The request context tells of a host that cannot be resolved or reached itself; any
    // other failed transfer is a network error too.
    if (reply.result != CURLE_OK && reply.result != CURLE_COULDNT_RESOLVE_HOST &&
        reply.result != CURLE_COULDNT_CONNECT) {
        platform::PostMessage(m_context.NotifyWindow(), WM_NETWORK_ERROR);
    }
}

LocalEditToolMgr::Outcome LocalEditToolMgr::Judge(const char* what, int64_t fid,
                                                  const ActionResult& result) {
    if (result.ok) {
        VLOGF(1, "LocalEditToolMgr - %s of %d done", what, fid);
        return Outcome::kDone;
    }
    if (NotAnswered(result.reply)) {
        PostNetworkError(result.reply);
        LOGF(WARNING, "LocalEditToolMgr - %s of %d not answered, again at the next renewal: %s",
             what, fid, result.reply.ErrorText());
        return Outcome::kNotAnswered;
    }
    LOGF(WARNING, "LocalEditToolMgr - %s of %d refused: %d %s", what, fid, result.reply.Status(),
         result.reply.Description());
    return Outcome::kRefused;
}

void LocalEditToolMgr::SendLocks(const std::map<int64_t, std::string>& locks) {
    for (const auto& [fid, lockKey] : locks) {
        if (IsQuit() || m_stopping) {
            return;
        }
        if (!IsLocked(fid)) {
            continue;  // its upload ended meanwhile
        }
        ++m_lockRequests;
        // Not answered: the file stays on the list and is locked again at the next renewal.
        if (Judge("lock", fid, CloudApi::LockFile(m_context, fid, lockKey)) ==
            Outcome::kNotAnswered) {
            ++m_lockFailures;
        }
    }
}

void LocalEditToolMgr::SendUnlocks(const std::map<int64_t, std::string>& unlocks) {
    for (const auto& [fid, lockKey] : unlocks) {
        if (IsQuit()) {
            break;
        }
        if (!IsLocked(fid)) {  // else a new upload of the file holds the lock
            SendUnlock(fid, lockKey);
        }
        platform::CriticalSectionGuard guard(m_cs);
        --m_unlocksInFlight;
        m_unlockFidsInFlight.erase(fid);
    }
    platform::CriticalSectionGuard guard(m_cs);
    m_unlocksInFlight = 0;
    m_unlockFidsInFlight.clear();
}

void LocalEditToolMgr::SendUnlock(int64_t fid, const std::string& lockKey) {
    ++m_unlockRequests;
    if (Judge("unlock", fid, CloudApi::UnlockFile(m_context, fid, lockKey)) !=
        Outcome::kNotAnswered) {
        return;
    }
    ++m_unlockFailures;
    platform::CriticalSectionGuard guard(m_cs);
    const bool superseded = m_filesToLock.count(fid) || m_filesToUnlock.count(fid);
    if (!superseded) {
        m_unlockRetries[fid] = lockKey;
        if (m_nextRenewalMs == 0) {
            ArmRenewal(platform::TickCountMs());
        }
    }
}
