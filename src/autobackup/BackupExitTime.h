#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

// Keeps the stored exit time from passing a change that was not handed over to the uploads:
// the next start-up check looks only at what changed after it. Until this run's start-up check
// is over, the previous exit time stays; beyond that, the exit time is at most the oldest
// change the folder monitor holds, and, while the backup file list still holds work that is
// not yet upload tasks (those are stored at exit), the oldest change queued into it since it
// was last seen idle.
//
//     COptions::GetInstance().SetExitTimeLimit(
//         [](int64_t now) { return BackupExitTime::GetInstance().Limit(now); });
class BackupExitTime {
public:
    static BackupExitTime& GetInstance();

    void SetCheckPending(bool pending);
    bool IsCheckPending() const;
    // Backup work standing for changes since `changedSinceSec` goes into the backup file list.
    void NoteQueued(int64_t changedSinceSec);
    // The exit time to store at `now`.
    int64_t Limit(int64_t now);
    // Back to the state of a new process (tests).
    void Reset();

private:
    BackupExitTime() = default;
    static bool BackupListIdle();

    mutable std::mutex m_mutex;
    bool m_checkPending = true;
    std::optional<int64_t> m_queuedSince;
};
