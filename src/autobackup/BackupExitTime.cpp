#include "autobackup/BackupExitTime.h"

#include <algorithm>

#include "autobackup/AutoBackupMonitorMgr.h"
#include "core/Options.h"
#include "upload/FileBackupMgr.h"

BackupExitTime& BackupExitTime::GetInstance() {
    static BackupExitTime* instance = new BackupExitTime();  // lives until process exit
    return *instance;
}

void BackupExitTime::SetCheckPending(bool pending) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_checkPending = pending;
}

bool BackupExitTime::IsCheckPending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_checkPending;
}

bool BackupExitTime::BackupListIdle() {
    const FileBackupMgr& list = FileBackupMgr::GetInstance();
    return !list.hasPendingRequests() && list.getActiveRequests().empty() &&
           list.getSubFileCount() == 0 && list.getShaFileCount() == 0 &&
           list.getUploadListSize() == 0;
}

void BackupExitTime::NoteQueued(int64_t changedSinceSec) {
    const bool idle = BackupListIdle();
    std::lock_guard<std::mutex> lock(m_mutex);
    // Idle: everything queued before has become upload tasks, which the exit stores.
    if (idle || !m_queuedSince) {
        m_queuedSince = changedSinceSec;
    } else {
        m_queuedSince = std::min(*m_queuedSince, changedSinceSec);
    }
}

int64_t BackupExitTime::Limit(int64_t now) {
    int64_t limit = now;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_checkPending) {
            // The check of this run did not finish: what it had to find is still to be found.
            return std::min(now, COptions::GetInstance().GetLastExitTime());
        }
        if (m_queuedSince && !BackupListIdle()) {
            limit = std::min(limit, *m_queuedSince);
        }
    }
    if (const std::optional<int64_t> held = AutoBackupMonitorMgr::GetInstance().OldestUnhandedChange()) {
        limit = std::min(limit, *held);
    }
    return limit;
}

void BackupExitTime::Reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_checkPending = true;
    m_queuedSince.reset();
}
