#include "download/FileDownloadMgr.h"

#include <utility>

#include "cloud/CloudApi.h"
#include "core/CommonUtils.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "download/UnfinishedDownloadsSaver.h"

namespace fs = std::filesystem;

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

FileDownloadMgr::DownloadMap FileDownloadMgr::peekDownloads() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_downloads;
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

void FileDownloadMgr::addRefusedNames(const std::vector<std::string>& names) {
    platform::CriticalSectionGuard guard(m_cs);
    m_refused.insert(m_refused.end(), names.begin(), names.end());
}

std::vector<std::string> FileDownloadMgr::takeRefusedNames() {
    platform::CriticalSectionGuard guard(m_cs);
    return std::exchange(m_refused, {});
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

void FileDownloadMgr::addInFlight(int32_t count) {
    platform::CriticalSectionGuard guard(m_cs);
    m_inFlight += count;
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
    m_refused.clear();
}

size_t FileDownloadMgr::loadUnfinished(const fs::path& txlogDb) {
    COptions& options = COptions::GetInstance();
    const fs::path path = txlogDb.empty() ? options.GetDatabasePath(DBWrapper::kTxlogDb) : txlogDb;
    DBWrapper db(path);
    if (!db.open()) {
        LOG(ERROR) << "FileDownloadMgr::loadUnfinished - can't open " << path.string() << ": "
                   << db.errorText();
        return 0;
    }
    DownloadMap downloads;
    const std::string user = std::to_string(options.GetUserId());
    if (db.query("SELECT * FROM dl_undo where userid=" + user + ";")) {
        for (const auto& row : db.rows()) {
            // id, size, position, path, url, split_num, userid
            if (row.size() < 5 || row[3].empty()) {
                continue;
            }
            DownloadRequest request;
            request.size = CommonUtils::StringToInt64(row[1]).value_or(0);
            request.position = CommonUtils::StringToInt64(row[2]).value_or(0);
            request.path = fs::path(row[3]);
            UnfinishedDownloadsSaver::ReadRowUrl(row[4], request.url, request.hash);
            if (!CommonUtils::IsPlainName(request.path.filename().string()) ||
                !request.path.is_absolute()) {
                LOGF(ERROR, "FileDownloadMgr::loadUnfinished - '%s' skipped", row[3]);
                continue;
            }
            downloads.emplace(request.path, std::move(request));
        }
    } else {
        LOG(ERROR) << "FileDownloadMgr::loadUnfinished - " << db.errorText();
    }
    db.close();
    VLOGF(1, "FileDownloadMgr::loadUnfinished - %d downloads", static_cast<int>(downloads.size()));
    if (!downloads.empty()) {
        addDownloads(downloads);
    }
    return downloads.size();
}

std::vector<IFolderListingStore::Folder> FileDownloadMgr::takeFoldersToList() {
    std::vector<Folder> folders;
    std::vector<std::string> refused;
    {
        platform::CriticalSectionGuard guard(m_cs);
        for (const auto& [target, items] : m_batchFolders) {
            for (const auto& item : items) {
                if (!CommonUtils::IsPlainName(item.name)) {
                    LOGF(ERROR, "FileDownloadMgr - folder name '%s' in %s refused", item.name,
                         target.string());
                    refused.push_back(item.name);
                    continue;
                }
                folders.push_back({target / item.name, item.fid, item.share});
            }
        }
        m_batchFolders.clear();
    }
    addRefusedNames(refused);
    return folders;
}

bool FileDownloadMgr::hasFoldersToList() const {
    platform::CriticalSectionGuard guard(m_cs);
    return !m_batchFolders.empty();
}

size_t FileDownloadMgr::addListing(const Folder& folder, const std::vector<CloudFileEntry>& entries) {
    if (!CommonUtils::MakeFolderPath(folder.local)) {
        LOGF(ERROR, "FileDownloadMgr - can't create %s", folder.local.string());
    }
    DownloadMap downloads;
    FolderMap subfolders;
    std::vector<std::string> refused;
    for (const auto& entry : entries) {
        if (!entry.IsComplete()) {
            continue;  // an upload under way: nothing to download yet
        }
        if (!CommonUtils::IsPlainName(entry.name)) {
            LOGF(ERROR, "FileDownloadMgr - listed name '%s' in %s refused", entry.name,
                 folder.local.string());
            refused.push_back(entry.name);
            continue;
        }
        if (entry.IsFolder()) {
            subfolders[folder.local].push_back({entry.id, entry.name, folder.share});
            continue;
        }
        DownloadRequest request;
        request.path = folder.local / entry.name;
        request.url = CloudApi::DownloadUrl(entry.id);
        request.size = entry.size;
        request.fid = entry.id;
        request.hash = entry.hash;
        downloads.emplace(request.path, std::move(request));
    }
    addRefusedNames(refused);
    if (!subfolders.empty()) {
        addBatchFolders(subfolders);
    }
    if (!downloads.empty()) {
        addDownloads(downloads);
    }
    return downloads.size();
}

void FileDownloadMgr::listingFailed(const Folder& folder) {
    addRefusedNames({folder.local.filename().string()});
}

void FileDownloadMgr::returnFolders(const std::vector<Folder>& folders) {
    FolderMap map;
    for (const auto& folder : folders) {
        map[folder.local.parent_path()].push_back(
            {folder.fid, folder.local.filename().string(), folder.share});
    }
    addBatchFolders(map);
}
