#include "upload/FileBackupMgr.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "core/CWriteDbMgr.h"
#include "core/CommonUtils.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "platform/FileSystem.h"
#include "upload/CalcShaResult.h"

namespace fs = std::filesystem;

namespace {

// A dropped folder as given may end in a separator or hold "." parts; roots are compared by
// their plain form.
fs::path PlainFolder(const fs::path& folder) {
    fs::path plain = folder.lexically_normal();
    if (!plain.has_filename() && plain.has_relative_path()) {
        plain = plain.parent_path();
    }
    return plain;
}

// Whether `path` is `root` or lies below it (whole parts only: "/a/bc" is not in "/a/b").
bool IsWithin(const std::string& path, const std::string& root) {
    if (root.empty() || path.size() < root.size() || path.compare(0, root.size(), root) != 0) {
        return false;
    }
    return path.size() == root.size() || root.back() == '/' || path[root.size()] == '/';
}

}  // namespace

FileBackupMgr& FileBackupMgr::GetInstance() {
    static FileBackupMgr* instance = new FileBackupMgr();  // lives until process exit
    return *instance;
}

// ---- work requests ----

void FileBackupMgr::addWorkRequest(const RequestKey& key, const std::vector<fs::path>& paths) {
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

std::optional<FileBackupMgr::WorkRequest> FileBackupMgr::takeNextRequest() {
    platform::CriticalSectionGuard guard(m_cs);
    if (m_pendingRequests.empty()) {
        return std::nullopt;
    }
    auto first = m_pendingRequests.begin();
    WorkRequest request{first->first, std::move(first->second)};
    m_pendingRequests.erase(first);
    auto& active = m_activeRequests[request.key];
    active.insert(active.end(), request.paths.begin(), request.paths.end());
    return request;
}

FileBackupMgr::RequestMap FileBackupMgr::getActiveRequests() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_activeRequests;
}

bool FileBackupMgr::removeActivePath(const std::string& text) {
    platform::CriticalSectionGuard guard(m_cs);
    auto it = m_activeRequests.find(RequestKey{m_batchTarget.pid, m_batchTarget.share});
    if (it == m_activeRequests.end()) {
        return false;
    }
    auto& paths = it->second;
    auto found = std::find_if(paths.begin(), paths.end(), [&](const fs::path& path) {
        return path.native().find(text) != std::string::npos;
    });
    if (found == paths.end()) {
        return false;
    }
    paths.erase(found);
    if (paths.empty()) {
        m_activeRequests.erase(it);
    }
    return true;
}

void FileBackupMgr::clearActiveRequests() {
    platform::CriticalSectionGuard guard(m_cs);
    m_activeRequests.clear();
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

// ---- the batch being handled ----

void FileBackupMgr::setBatchTarget(int64_t pid, int32_t share) {
    platform::CriticalSectionGuard guard(m_cs);
    m_batchTarget = BatchTarget{pid, share};
}

FileBackupMgr::BatchTarget FileBackupMgr::getBatchTarget() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_batchTarget;
}

void FileBackupMgr::setBackupRoot(int64_t id) {
    platform::CriticalSectionGuard guard(m_cs);
    m_backupRoot = id;
}

int64_t FileBackupMgr::getBackupRoot() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_backupRoot;
}

// ---- dropped folders ----

void FileBackupMgr::addDroppedRoot(const fs::path& folder) {
    const fs::path plain = PlainFolder(folder);
    platform::CriticalSectionGuard guard(m_cs);
    m_droppedRoots.try_emplace(plain, DroppedRoot{plain.parent_path(), kUnknownFolder});
}

void FileBackupMgr::setDroppedRootId(const fs::path& folder, int64_t cloudId) {
    const fs::path plain = PlainFolder(folder);
    platform::CriticalSectionGuard guard(m_cs);
    auto it = m_droppedRoots.find(plain);
    if (it != m_droppedRoots.end()) {
        it->second.cloudId = cloudId;
    }
}

void FileBackupMgr::removeDroppedRoot(const fs::path& folder) {
    const fs::path plain = PlainFolder(folder);
    platform::CriticalSectionGuard guard(m_cs);
    m_droppedRoots.erase(plain);
}

void FileBackupMgr::clearDroppedRoots() {
    platform::CriticalSectionGuard guard(m_cs);
    m_droppedRoots.clear();
}

std::map<fs::path, FileBackupMgr::DroppedRoot> FileBackupMgr::getDroppedRoots() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_droppedRoots;
}

bool FileBackupMgr::hasDroppedRoots() const {
    platform::CriticalSectionGuard guard(m_cs);
    return !m_droppedRoots.empty();
}

std::optional<FileBackupMgr::UsefulPath> FileBackupMgr::UsefulPathAmong(
    const std::map<fs::path, DroppedRoot>& roots, const fs::path& path) {
    const std::string& text = path.native();
    const std::map<fs::path, DroppedRoot>::value_type* best = nullptr;
    for (const auto& root : roots) {
        // The first found wins among equally long roots.
        if (IsWithin(text, root.first.native()) &&
            (!best || root.first.native().size() > best->first.native().size())) {
            best = &root;
        }
    }
    if (!best) {
        return std::nullopt;
    }
    UsefulPath result;
    result.prefix = best->second.parent;
    result.usefulPath = path.lexically_relative(result.prefix).generic_string();
    return result;
}

FileBackupMgr::UsefulPath FileBackupMgr::getUsefulPath(const fs::path& path) const {
    std::map<fs::path, DroppedRoot> roots = getDroppedRoots();
    if (auto found = UsefulPathAmong(roots, path)) {
        return *found;
    }
    return UsefulPath{path.parent_path(), path.filename().string()};
}

bool FileBackupMgr::addFolder(const fs::path& folder) {
    platform::CriticalSectionGuard guard(m_cs);
    if (std::find(m_folders.begin(), m_folders.end(), folder) != m_folders.end()) {
        return false;
    }
    m_folders.push_back(folder);
    return true;
}

std::vector<fs::path> FileBackupMgr::getFolders() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_folders;
}

// ---- cloud folders and listings ----

std::string FileBackupMgr::folderKey(int64_t baseId, const std::string& relativeFolder) {
    std::string key = "R_" + std::to_string(baseId);
    size_t at = 0;
    while (at <= relativeFolder.size()) {
        size_t end = relativeFolder.find('/', at);
        if (end == std::string::npos) {
            end = relativeFolder.size();
        }
        if (end > at) {
            key += '\\';
            key.append(relativeFolder, at, end - at);
        }
        at = end + 1;
    }
    return key;
}

int64_t FileBackupMgr::getFolderId(const std::string& key) const {
    platform::CriticalSectionGuard guard(m_cs);
    auto it = m_knownFolders.find(key);
    return it == m_knownFolders.end() ? kUnknownFolder : it->second;
}

void FileBackupMgr::setFolderId(const std::string& key, int64_t id) {
    platform::CriticalSectionGuard guard(m_cs);
    m_knownFolders[key] = id;
}

bool FileBackupMgr::hasListing(int64_t folderId) const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_listings.count(folderId) != 0;
}

void FileBackupMgr::setListing(int64_t folderId, const std::vector<CloudFileEntry>& entries) {
    std::unordered_map<std::string, CloudFileEntry> byName;
    byName.reserve(entries.size());
    for (const auto& entry : entries) {
        byName[entry.name] = entry;
    }
    platform::CriticalSectionGuard guard(m_cs);
    m_listings[folderId] = std::move(byName);
}

void FileBackupMgr::addListingEntry(int64_t folderId, const CloudFileEntry& entry) {
    platform::CriticalSectionGuard guard(m_cs);
    auto it = m_listings.find(folderId);
    if (it != m_listings.end()) {
        it->second[entry.name] = entry;
    }
}

std::optional<CloudFileEntry> FileBackupMgr::findListingEntry(int64_t folderId,
                                                              const std::string& name) const {
    platform::CriticalSectionGuard guard(m_cs);
    auto listing = m_listings.find(folderId);
    if (listing == m_listings.end()) {
        return std::nullopt;
    }
    auto entry = listing->second.find(name);
    if (entry == listing->second.end()) {
        return std::nullopt;
    }
    return entry->second;
}

void FileBackupMgr::clearServerCache() {
    platform::CriticalSectionGuard guard(m_cs);
    m_knownFolders.clear();
    m_listings.clear();
}

// ---- files to hash ----

void FileBackupMgr::addFilesToSubFileList(const std::vector<fs::path>& paths) {
    platform::CriticalSectionGuard guard(m_cs);
    VLOGF(1, "FileBackupMgr::addFilesToSubFileList: exsit: %d, input: %d",
          static_cast<int>(m_subFiles.size()), static_cast<int>(paths.size()));
    m_subFiles.insert(m_subFiles.end(), paths.begin(), paths.end());
}

void FileBackupMgr::addSubFile(const fs::path& path) {
    platform::CriticalSectionGuard guard(m_cs);
    m_subFiles.push_back(path);
}

std::vector<fs::path> FileBackupMgr::takeSubFiles(size_t count) {
    platform::CriticalSectionGuard guard(m_cs);
    const size_t n = std::min(count, m_subFiles.size());
    std::vector<fs::path> taken(std::make_move_iterator(m_subFiles.begin()),
                                std::make_move_iterator(m_subFiles.begin() + n));
    m_subFiles.erase(m_subFiles.begin(), m_subFiles.begin() + n);
    return taken;
}

size_t FileBackupMgr::getSubFileCount() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_subFiles.size();
}

// ---- hashed files waiting for comparison ----

void FileBackupMgr::addShaFile(const CmpWaitingFile& file) {
    VLOG(1) << "FileBackupMgr::addShaFile:" << file.path.string();
    platform::CriticalSectionGuard guard(m_cs);
    m_shaFiles.push_back(file);
}

std::vector<CmpWaitingFile> FileBackupMgr::takeShaFiles() {
    platform::CriticalSectionGuard guard(m_cs);
    std::vector<CmpWaitingFile> taken(std::make_move_iterator(m_shaFiles.begin()),
                                      std::make_move_iterator(m_shaFiles.end()));
    m_shaFiles.clear();
    return taken;
}

void FileBackupMgr::returnShaFiles(std::vector<CmpWaitingFile> files) {
    platform::CriticalSectionGuard guard(m_cs);
    m_shaFiles.insert(m_shaFiles.begin(), std::make_move_iterator(files.begin()),
                      std::make_move_iterator(files.end()));
}

size_t FileBackupMgr::getShaFileCount() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_shaFiles.size();
}

// ---- waiting records ----

void FileBackupMgr::addBackupFile(const std::string& hash, int64_t fid, int64_t pid,
                                  const fs::path& path, int64_t size) {
    VLOG(1) << "FileBackupMgr::addBackupFile";
    platform::CriticalSectionGuard guard(m_cs);
    UpldWaitingFile record;
    record.path = path;
    record.pid = pid;
    record.fid = fid;
    record.size = size;
    record.breakPoint = 0;
    record.hash = hash;
    record.batchTarget = m_batchTarget.pid;
    record.share = m_batchTarget.share;
    record.counted = true;
    m_uploadList.push_back(std::move(record));
    if (m_toCompareCount >= 1) {
        --m_toCompareCount;
    }
}

void FileBackupMgr::addUploadRecord(const UpldWaitingFile& record) {
    platform::CriticalSectionGuard guard(m_cs);
    m_uploadList.push_back(record);
}

std::vector<UpldWaitingFile> FileBackupMgr::takeUploadList() {
    platform::CriticalSectionGuard guard(m_cs);
    return std::exchange(m_uploadList, {});
}

size_t FileBackupMgr::getUploadListSize() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_uploadList.size();
}

std::vector<UpldWaitingFile> FileBackupMgr::getUploadList() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_uploadList;
}

std::vector<UpldWaitingFile> FileBackupMgr::getChangedFiles() const {
    platform::CriticalSectionGuard guard(m_cs);
    std::vector<UpldWaitingFile> files;
    files.reserve(m_changedFiles.size());
    for (const auto& [path, record] : m_changedFiles) {
        files.push_back(record);
    }
    return files;
}

bool FileBackupMgr::addChangedFileHash(const CalcShaResult& result) {
    platform::CriticalSectionGuard guard(m_cs);
    auto it = m_changedFiles.find(result.path);
    if (it == m_changedFiles.end()) {
        return false;
    }
    UpldWaitingFile record = std::move(it->second);
    m_changedFiles.erase(it);
    const platform::FileStat st = platform::StatFile(result.path);
    if (result.hash.empty() && !(st.isRegular && st.size == 0)) {
        LOG(WARNING) << "FileBackupMgr::addChangedFileHash - dropped, the file could not be read: "
                     << result.path.string();
        if (record.counted && m_remainingCount > 0) {
            --m_remainingCount;
        }
        return true;
    }
    // New content: the upload starts from the beginning of the same cloud file.
    record.hash = result.hash;
    record.size = result.size;
    record.breakPoint = 0;
    m_uploadList.push_back(std::move(record));
    return true;
}

void FileBackupMgr::addChangedFile(UpldWaitingFile record) {
    platform::CriticalSectionGuard guard(m_cs);
    m_subFiles.push_back(record.path);
    m_changedFiles.emplace(record.path, std::move(record));
}

size_t FileBackupMgr::getChangedFileCount() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_changedFiles.size();
}

// ---- counts ----

void FileBackupMgr::addFileCount(int count) {
    platform::CriticalSectionGuard guard(m_cs);
    if (count == 0) {
        m_remainingCount = 0;
        m_toCompareCount = 0;
        return;
    }
    m_remainingCount += count;
    m_toCompareCount += count;
}

void FileBackupMgr::resetToCompareCount() {
    platform::CriticalSectionGuard guard(m_cs);
    m_toCompareCount = 0;
}

void FileBackupMgr::decreaseRemainingCount() {
    platform::CriticalSectionGuard guard(m_cs);
    if (m_remainingCount > 0) {
        --m_remainingCount;
    }
}

void FileBackupMgr::decreaseFileCount() {
    platform::CriticalSectionGuard guard(m_cs);
    if (m_remainingCount > 0) {
        --m_remainingCount;
    }
    if (m_toCompareCount > 0) {
        --m_toCompareCount;
    }
}

int FileBackupMgr::getRemainingCount() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_remainingCount;
}

int FileBackupMgr::getToCompareCount() const {
    platform::CriticalSectionGuard guard(m_cs);
    return m_toCompareCount;
}

void FileBackupMgr::reset() {
    platform::CriticalSectionGuard guard(m_cs);
    m_pendingRequests.clear();
    m_activeRequests.clear();
    m_cancelFids.clear();
    m_cancelRemove = 0;
    m_batchTarget = BatchTarget{};
    m_backupRoot = 0;
    m_droppedRoots.clear();
    m_folders.clear();
    m_knownFolders.clear();
    m_listings.clear();
    m_subFiles.clear();
    m_shaFiles.clear();
    m_uploadList.clear();
    m_changedFiles.clear();
    m_remainingCount = 0;
    m_toCompareCount = 0;
}
