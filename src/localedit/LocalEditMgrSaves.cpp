// The saves of edited files: from the watcher's hand-over through the hash to the upload and
// its end, by the status of each file.
#include <system_error>

#include "core/CommonUtils.h"
#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "localedit/LocalEditMgr.h"
#include "platform/FileSystem.h"
#include "platform/WindowRegistry.h"

namespace fs = std::filesystem;

LocalEditMgr::Version LocalEditMgr::VersionOf(const fs::path& path) {
    const platform::FileStat stat = platform::StatFile(path);
    if (!stat.exists || !stat.isRegular) {
        return {};
    }
    return {static_cast<int64_t>(stat.size), stat.times.lastWriteNs};
}

std::optional<fs::path> LocalEditMgr::EditPathOf(const fs::path& underFolder,
                                                 const fs::path& folder) const {
    const fs::path relative = underFolder.lexically_relative(folder);
    if (relative.empty() || *relative.begin() == "..") {
        return std::nullopt;
    }
    return m_editDir / relative;
}

fs::path LocalEditMgr::cpFileToShaFold(const fs::path& path, EditedFile& file) {
    LOGF(INFO, "LocalEditMgr::cpFileToShaFold %s", path.string());
    const fs::path copy = m_shaDir / path.lexically_relative(m_editDir);
    CommonUtils::MakeFolderPath(copy.parent_path());
    // The version is taken before the copy: a save during the copy makes it differ, and the
    // next start then looks at the file again.
    const Version version = VersionOf(path);
    std::error_code ec;
    fs::copy_file(path, copy, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        LOGF(ERROR, "LocalEditMgr::cpFileToShaFold %s: %s", path.string(), ec.message());
    }
    file.copySize = version.size;
    file.copyMtimeNs = version.mtimeNs;
    return copy;
}

bool LocalEditMgr::cpFileToUpldFold(const fs::path& path, EditedFile& file) {
    LOGF(INFO, "LocalEditMgr::cpFileToUpldFold %s", path.string());
    // The hashed copy itself goes up, not the edited file: a save after the hash would
    // otherwise be sent under the hash of the version before it.
    const fs::path relative = path.lexically_relative(m_editDir);
    const fs::path hashed = m_shaDir / relative;
    const fs::path copy = m_upldDir / relative;
    CommonUtils::MakeFolderPath(copy.parent_path());
    std::error_code ec;
    fs::rename(hashed, copy, ec);
    if (ec) {
        fs::copy_file(hashed, copy, fs::copy_options::overwrite_existing, ec);
    }
    if (ec) {
        LOGF(ERROR, "LocalEditMgr::cpFileToUpldFold %s: %s", path.string(), ec.message());
        return false;
    }
    file.uploadCopySize = file.copySize;
    file.uploadCopyMtimeNs = file.copyMtimeNs;
    file.uploadCopyHash = file.hash;
    file.uploadCopyLength = file.size;
    return true;
}

void LocalEditMgr::QueueHash(const fs::path& path, EditedFile& file) {
    m_workers.hash({cpFileToShaFold(path, file)});
}

void LocalEditMgr::PostUploadReady() {
    if (m_notifyWindow != platform::kNoWindow) {
        platform::PostMessage(m_notifyWindow, WM_LOCALEDIT_SHA);
    }
}

void LocalEditMgr::updateFileChange(const std::vector<fs::path>& paths) {
    for (const fs::path& path : paths) {
        LOGF(INFO, "LocalEditMgr::updateFileChange - in loop file %s", path.string());
        auto it = m_files.find(path);
        if (it == m_files.end()) {
            continue;
        }
        EditedFile& file = it->second;
        LOGF(INFO, "LocalEditMgr::updateFileChange - status %d", file.status);
        if (file.status < 0 || file.status >= kStatusCount) {
            LOGF(ERROR, "LocalEditMgr::updateFileChange - invalid status, %d, file %s\n",
                 file.status, path.string());
            continue;
        }
        switch (file.status) {
            case kOpened:
            case kWaitingUpload:
            case kUploadFailed:
            case kInStep:
                QueueHash(path, file);
                LOGF(INFO, "LocalEditMgr::updateFileChange - calc sha %s\n", path.string());
                file.status = kHashing;
                break;
            case kHashing:
            case kHashingSaved:
                file.status = kHashingSaved;
                break;
            case kHashingUpld:
            case kHashingUpldSaved:
                LOGF(INFO, "LocalEditMgr::updateFileChange - uplding_sha sha status, %d, file %s\n",
                     kHashingUpldSaved, path.string());
                file.status = kHashingUpldSaved;
                break;
            case kUploading:
            case kUploadingNewer:
                QueueHash(path, file);
                LOGF(INFO, "LocalEditMgr::updateFileChange - uplding sha %s\n", path.string());
                file.status = kHashingUpld;
                break;
        }
    }
    SavePending();
}

void LocalEditMgr::updateFileHash(const fs::path& shaPath, const std::string& hash, int64_t size) {
    LOG(INFO) << "LocalEditMgr::updateFileHash\n";
    const std::optional<fs::path> path = EditPathOf(shaPath, m_shaDir);
    auto it = path ? m_files.find(*path) : m_files.end();
    if (it == m_files.end()) {
        LOGF(INFO, "LocalEditMgr::updateFileHash - %s is not edited", shaPath.string());
        return;
    }
    EditedFile& file = it->second;
    bool changed = false;
    if (hash.empty()) {
        // The copy could not be read (the file went away between the save and the copy): no
        // version to send; a later save brings one.
        LOGF(WARNING, "LocalEditMgr::updateFileHash - %s could not be read", shaPath.string());
    } else if (hash != file.hash) {
        file.hash = hash;
        file.size = size;
        changed = true;
    }
    LOGF(INFO, "LocalEditMgr::updateFileHash: status %d", file.status);
    switch (file.status) {
        case kHashing:
            if ((changed || file.force) && !hash.empty() && cpFileToUpldFold(*path, file)) {
                file.force = false;
                file.status = kWaitingUpload;
                PostUploadReady();
            } else {
                if (!hash.empty() && file.hash == file.uploadedHash) {
                    // The copy holds what the server holds.
                    file.inStepSize = file.copySize;
                    file.inStepMtimeNs = file.copyMtimeNs;
                }
                file.status = kInStep;
            }
            break;
        case kHashingSaved:
            QueueHash(*path, file);
            file.status = kHashing;
            break;
        case kHashingUpldSaved:
            QueueHash(*path, file);
            file.status = kHashingUpld;
            break;
        case kHashingUpld:
            // Saved during the upload: one more upload after it, unless the save left the
            // content as it is going up.
            file.status = changed ? kUploadingNewer : kUploading;
            break;
        default:
            break;
    }
    SavePending();
}

std::vector<UpldWaitingFile> LocalEditMgr::takeWaitingUploads(size_t count) {
    std::vector<UpldWaitingFile> records;
    for (auto& [path, file] : m_files) {
        if (records.size() >= count) {
            break;
        }
        if (file.status != kWaitingUpload) {
            continue;
        }
        UpldWaitingFile record;
        record.path = m_upldDir / path.lexically_relative(m_editDir);
        record.pid = file.pid;
        record.fid = file.fid;
        record.size = file.uploadCopyLength;
        record.hash = file.uploadCopyHash;
        record.batchTarget = file.pid;
        record.share = file.share;
        record.lockFlag = true;
        records.push_back(std::move(record));
        file.status = kUploading;
        // The upload takes the server lock; from here on a crash may leave it held.
        file.lockMayBeHeld = true;
    }
    if (!records.empty()) {
        SavePending();
    }
    return records;
}

bool LocalEditMgr::HasWaitingUploads() const {
    for (const auto& [path, file] : m_files) {
        if (file.status == kWaitingUpload) {
            return true;
        }
    }
    return false;
}

bool LocalEditMgr::uploadEnded(int64_t fid, const fs::path& uploadFolder, const std::string& name,
                               bool done) {
    const std::optional<fs::path> folder = EditPathOf(uploadFolder, m_upldDir);
    auto it = folder ? m_files.find(*folder / name) : m_files.end();
    if (it == m_files.end()) {
        LOGF(WARNING, "LocalEditMgr::uploadEnded - %s not found", (uploadFolder / name).string());
        return false;
    }
    EditedFile& file = it->second;
    LOGF(INFO, "LocalEditMgr::uploadEnded - %s status %d, %s", it->first.string(), file.status,
         done ? "done" : "not done");
    if (done) {
        file.uploadedHash = file.uploadCopyHash;
        file.uploadedSize = file.uploadCopyLength;
        file.inStepSize = file.uploadCopySize;
        file.inStepMtimeNs = file.uploadCopyMtimeNs;
    } else {
        // The server does not hold that version: the next hash sends what the copy holds even
        // when it is the same content.
        file.force = true;
    }
    switch (file.status) {
        case kHashingUpld:
            file.status = kHashing;
            break;
        case kHashingUpldSaved:
            file.status = kHashingSaved;
            break;
        case kUploading:
            file.status = done ? kInStep : kUploadFailed;
            break;
        case kUploadingNewer:
            if (cpFileToUpldFold(it->first, file)) {
                file.status = kWaitingUpload;
                PostUploadReady();
            } else {
                file.status = kUploadFailed;
            }
            break;
        default:
            break;
    }
    m_workers.unlock(fid > 0 ? fid : file.fid, name);
    SavePending();
    return true;
}

void LocalEditMgr::rehashDropped() {
    for (auto& [path, file] : m_files) {
        switch (file.status) {
            case kHashing:
            case kHashingSaved:
                file.status = kHashing;
                QueueHash(path, file);
                break;
            case kHashingUpld:
            case kHashingUpldSaved:
                file.status = kHashingUpld;
                QueueHash(path, file);
                break;
            default:
                break;
        }
    }
}

void LocalEditMgr::reuploadFile(const fs::path& path) {
    LOGF(INFO, "LocalEditMgr::reuploadFile: %s", path.string());
    auto it = m_files.find(path);
    if (it == m_files.end()) {
        return;
    }
    it->second.status = kHashing;
    QueueHash(path, it->second);
    SavePending();
}
