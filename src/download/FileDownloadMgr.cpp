#include "download/FileDownloadMgr.h"

#include <utility>

FileDownloadMgr& FileDownloadMgr::GetInstance() {
    static FileDownloadMgr* instance = new FileDownloadMgr();  // lives until process exit
    return *instance;
}

void FileDownloadMgr::addDownloads(const DownloadMap& downloads) {
    platform::CriticalSectionGuard guard(m_cs);
    m_inFlight += static_cast<int32_t>(downloads.size());
    for (const auto& [path, request] : downloads) {
        m_downloads.emplace(path, request);
    }
}

FileDownloadMgr::DownloadMap FileDownloadMgr::takeDownloads() {
    platform::CriticalSectionGuard guard(m_cs);
    return std::exchange(m_downloads, {});
}

size_t FileDownloadMgr::pendingDownloadCount() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_downloads.size();
}

void FileDownloadMgr::addBatchFolders(const FolderMap& folders) {
    platform::CriticalSectionGuard guard(m_cs);
    for (const auto& [path, items] : folders) {
        auto& list = m_batchFolders[path];
        list.insert(list.end(), items.begin(), items.end());
    }
}

FileDownloadMgr::FolderMap FileDownloadMgr::takeBatchFolders() {
    platform::CriticalSectionGuard guard(m_cs);
    return std::exchange(m_batchFolders, {});
}

void FileDownloadMgr::setClipboardList(const std::vector<ClipboardItem>& items) {
    platform::CriticalSectionGuard guard(m_cs);
    m_clipboardList = items;
}

std::vector<FileDownloadMgr::ClipboardItem> FileDownloadMgr::takeClipboardList() {
    platform::CriticalSectionGuard guard(m_cs);
    return std::exchange(m_clipboardList, {});
}

int32_t FileDownloadMgr::getInFlight() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_inFlight;
}

void FileDownloadMgr::endOne() {
    platform::CriticalSectionGuard guard(m_cs);
    if (m_inFlight > 0) {
        --m_inFlight;
    }
}

void FileDownloadMgr::clearAll() {
    platform::CriticalSectionGuard guard(m_cs);
    m_downloads.clear();
    m_clipboardList.clear();
    m_batchFolders.clear();
}
