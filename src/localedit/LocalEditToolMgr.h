#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cloud/ActionResult.h"
#include "cloud/CRequestContext.h"
#include "cloud/ServerReply.h"
#include "core/CTaskThread.h"
#include "platform/Event.h"

// The local edit helper: one worker thread with two jobs for local editing.
//
// It hashes the copies of saved files that the local edit manager puts in the hash folder,
// in the order they were queued, with the upload's file hash (the server's hash, size suffix
// in full 64 bits), and posts each result to the notify window: WM_LOCALEDIT_HASH_DONE with a
// CalcShaResult (an empty hash and size 0 when the copy could not be read).
//
// And it keeps edited files locked on the server while their upload runs. The upload
// registers the file with the lock already taken and hands (fid, lock key) to lockFile
// through the upload transfer's lock hook, which Start connects; from then on the lock is
// renewed every FixedDelay::kLockRenewal (on a fixed cadence, whatever else the worker is
// asked meanwhile) until the manager calls unlockFile when the upload has ended, which sends
// the unlock request at once. A lock or unlock request that gets no answer (transport error,
// a server failure) is logged and sent again at the next renewal; an unlock goes on being
// retried until the server answers it or the process ends. A refusal (the file is locked for
// another key, or gone) is logged and not repeated, except that a lock is renewed while the
// upload runs.
//
//     LocalEditToolMgr& tool = LocalEditToolMgr::GetInstance();
//     tool.SetNotifyWindow(dropWindow);
//     tool.Start();
//     tool.addCalcShaFiles({copy});        // later WM_LOCALEDIT_HASH_DONE
//     tool.unlockFile(fid, lockKey);       // the edited file's upload ended
//     tool.Shutdown(5000);
class LocalEditToolMgr : public CTaskThread {
public:
    struct Stats {
        uint64_t hashes = 0;          // results posted
        uint64_t lockRequests = 0;    // renewals sent
        uint64_t lockFailures = 0;    // renewals without an answer
        uint64_t unlockRequests = 0;  // unlock requests sent, retries included
        uint64_t unlockFailures = 0;  // unlock requests without an answer
        size_t filesLocked = 0;       // files whose upload runs
        size_t unlocksWaiting = 0;    // unlocks not answered yet
        bool renewalArmed = false;    // a renewal (or a retry) is due some time
    };

    static LocalEditToolMgr& GetInstance();
    // The process uses the singleton; tests make their own.
    LocalEditToolMgr();
    ~LocalEditToolMgr() override;

    // Starts the worker and connects the upload transfer's lock hook to lockFile.
    bool Start() override;
    // Ends the worker loop at its next turn (a hash stops between blocks).
    void SetStopFlag();
    // SetStopFlag, waits for the thread, and lets go of the lock hook; true when it ended.
    bool Shutdown(uint32_t timeoutMs);

    void addCalcShaFiles(const std::vector<std::filesystem::path>& paths);
    // The upload of an edited file registered it, locked for `lockKey`.
    void lockFile(int64_t fid, const std::string& lockKey);
    // That upload ended (or was removed): the lock is let go.
    void unlockFile(int64_t fid, const std::string& lockKey);
    // Offline: queued hashes and the renewal of locks are dropped (a paused upload locks its
    // file again when it resumes); unlocks still waiting are kept and retried. New work
    // takes the worker out of this state.
    void stopAll();

    Stats GetStats() const;
    // Files whose lock may still be held for this client: uploads running, and unlocks the
    // server has not answered yet.
    std::vector<int64_t> UnansweredUnlocks() const;

protected:
    void ThreadMain() override;

private:
    enum class Outcome { kDone, kNotAnswered, kRefused };
    struct Work {
        std::vector<std::filesystem::path> hashes;
        std::map<int64_t, std::string> unlocks;
        std::map<int64_t, std::string> locks;
    };

    Work TakeWork();
    uint32_t TimeUntilRenewal();
    // Keeps the renewal going while files are locked or unlocks wait for a retry.
    void ArmRenewal(uint64_t nowMs);
    void calcSha(const std::vector<std::filesystem::path>& paths);
    void SendLocks(const std::map<int64_t, std::string>& locks);
    void SendUnlocks(const std::map<int64_t, std::string>& unlocks);
    void SendUnlock(int64_t fid, const std::string& lockKey);
    bool IsLocked(int64_t fid);
    // No answer that says anything: the request could not be made, or the server failed.
    // Logs the outcome of a lock or unlock request (`what`) and tells the window of a
    // transfer that failed.
    Outcome Judge(const char* what, int64_t fid, const ActionResult& result);
    static bool NotAnswered(const ServerReply& reply);
    void PostNetworkError(const ServerReply& reply);
    void ConnectLockHook();
    void DisconnectLockHook();

    platform::Event m_commandEvent{false, false};  // auto-reset: work was queued
    platform::Event m_wakeEvent{false, false};     // auto-reset: sees the quit flag
    CRequestContext m_context;                     // the worker thread's own

    // Guarded by m_cs (CTaskThread's lock).
    std::vector<std::filesystem::path> m_hashQueue;
    std::map<int64_t, std::string> m_filesToLock;    // uploads running
    std::map<int64_t, std::string> m_filesToUnlock;  // uploads ended: unlock now
    std::map<int64_t, std::string> m_unlockRetries;  // not answered: unlock at the next renewal
    size_t m_unlocksInFlight = 0;                    // taken by the worker, not sent yet
    std::set<int64_t> m_unlockFidsInFlight;          // their files
    uint64_t m_nextRenewalMs = 0;                    // 0: no renewal pending
    std::atomic<bool> m_stopping{false};             // written under m_cs, read by the hash

    std::atomic<uint64_t> m_hashes{0};
    std::atomic<uint64_t> m_lockRequests{0};
    std::atomic<uint64_t> m_lockFailures{0};
    std::atomic<uint64_t> m_unlockRequests{0};
    std::atomic<uint64_t> m_unlockFailures{0};
    bool m_hookConnected = false;
};
