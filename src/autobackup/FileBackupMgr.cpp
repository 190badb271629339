#include "autobackup/FileBackupMgr.h"

#include <utility>

FileBackupMgr& FileBackupMgr::GetInstance() {
    static FileBackupMgr* instance = new FileBackupMgr();  // lives until process exit
    return *instance;
}

void FileBackupMgr::addWorkRequest(const RequestKey& key,
                                   const std::vector<std::filesystem::path>& paths) {
    platform::CriticalSectionGuard guard(m_cs);
    auto& list = m_pendingRequests[key];
    list.insert(list.end(), paths.begin(), paths.end());
}

FileBackupMgr::RequestMap FileBackupMgr::getPendingRequests() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_pendingRequests;
}

bool FileBackupMgr::hasPendingRequests() const {
    platform::CriticalSectionGuard guard(m_cs);
    return !m_pendingRequests.empty();
}

void FileBackupMgr::addCancelFids(const std::vector<int64_t>& fids, int removeFlag) {
    platform::CriticalSectionGuard guard(m_cs);
    m_cancelFids.insert(m_cancelFids.end(), fids.begin(), fids.end());
    m_cancelRemove = removeFlag;
}

std::vector<int64_t> FileBackupMgr::takeCancelFids(int* removeFlag) {
    platform::CriticalSectionGuard guard(m_cs);
    if (removeFlag) {
        *removeFlag = m_cancelRemove;
    }
    return std::exchange(m_cancelFids, {});
}

void FileBackupMgr::reset() {
    platform::CriticalSectionGuard guard(m_cs);
    m_pendingRequests.clear();
    m_cancelFids.clear();
    m_cancelRemove = 0;
}
