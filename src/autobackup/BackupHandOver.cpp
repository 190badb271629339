#include "autobackup/BackupHandOver.h"

#include <set>
#include <utility>

#include "autobackup/BackupExitTime.h"
#include "autobackup/BackupTreeWalk.h"
#include "core/Logging.h"
#include "platform/FileSystem.h"
#include "upload/FileBackupMgr.h"

namespace fs = std::filesystem;

BackupHandOver::BackupHandOver(CRequestContext& context, CloudApi::CreatePathMode mode)
    : m_context(context),
      m_mode(mode),
      m_records(COptions::GetInstance().GetBackupRecords()),
      m_rootId(FileBackupMgr::GetInstance().getBackupRoot()) {}

bool BackupHandOver::IsUnder(const fs::path& path, const fs::path& root) {
    const std::string text = path.lexically_normal().string();
    std::string prefix = root.lexically_normal().string();
    while (prefix.size() > 1 && prefix.back() == '/') {
        prefix.pop_back();
    }
    return text == prefix ||
           (text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0 &&
            (text[prefix.size()] == '/' || prefix == "/"));
}

std::optional<std::string> BackupHandOver::RelativePath(
    const std::vector<COptions::BackupRecord>& records, const fs::path& folder) {
    const COptions::BackupRecord* best = nullptr;
    for (const auto& record : records) {
        if (IsUnder(folder, record.path) &&
            (!best || record.path.string().size() > best->path.string().size())) {
            best = &record;
        }
    }
    if (!best) {
        return std::nullopt;
    }
    fs::path root = best->path.lexically_normal();
    if (!root.has_filename()) {
        root = root.parent_path();
    }
    return folder.lexically_normal().lexically_relative(root.parent_path()).generic_string();
}

int64_t BackupHandOver::FolderId(const fs::path& folder) {
    if (auto known = m_folders.find(folder); known != m_folders.end()) {
        return known->second;
    }
    if (m_unreachable) {
        return 0;
    }
    const std::optional<std::string> relative = RelativePath(m_records, folder);
    if (!relative) {
        return 0;
    }
    const CreatePathResult made = CloudApi::CreatePath(m_context, *relative, m_rootId, 0, m_mode);
    VLOGF(1, "CheckDirChangeMgr::createDir name %s, response %s", *relative, made.reply.text);
    const CURLcode transport = made.reply.result;
    if (transport == CURLE_COULDNT_RESOLVE_HOST || transport == CURLE_COULDNT_CONNECT) {
        // The request told the dispatcher, which goes offline; the rest waits with this path.
        m_unreachable = true;
    }
    const int64_t id = made.ok ? made.folder.id : 0;
    if (id <= 0) {
        LOGF(WARNING, "MiscToolMgr::getPid failed for %s: %s", folder.string(),
             made.reply.ErrorText());
        return 0;
    }
    m_folders[folder] = id;
    return id;
}

BackupHandOver::Result BackupHandOver::HandOver(const std::vector<fs::path>& paths,
                                                int64_t changedSinceSec) {
    Result result;
    // Unique files, in the order they came; folders become their files.
    std::vector<fs::path> files;
    std::set<fs::path> seen;
    auto addFile = [&](fs::path file) {
        if (seen.insert(file).second) {
            files.push_back(std::move(file));
        }
    };
    for (const fs::path& path : paths) {
        if (!RelativePath(m_records, path.parent_path())) {
            VLOG(1) << "BackupHandOver - no longer under a backup folder: " << path.string();
            ++result.dropped;
            continue;
        }
        const platform::FileStat stat = platform::StatFile(path, false);
        VLOGF(1, "BackupHandOver - %s%s", path.string(), stat.isDirectory ? " (folder)" : "");
        if (stat.isRegular) {
            addFile(path);
        } else if (stat.isDirectory) {
            std::vector<fs::path> emptyFolders;
            for (fs::path& file : BackupTreeWalk::FilesBelow(path, &emptyFolders)) {
                addFile(std::move(file));
            }
            for (const fs::path& folder : emptyFolders) {
                if (FolderId(folder) <= 0) {
                    result.unresolved.push_back(folder);
                }
            }
        } else {
            ++result.dropped;  // deleted (or no file) before its turn: nothing to send
        }
    }
    std::map<int64_t, std::vector<fs::path>> requests;
    for (fs::path& file : files) {
        const int64_t id = FolderId(file.parent_path());
        if (id <= 0) {
            result.unresolved.push_back(std::move(file));
        } else {
            requests[id].push_back(std::move(file));
            ++result.queued;
        }
    }
    if (!requests.empty()) {
        BackupExitTime::GetInstance().NoteQueued(changedSinceSec);
        FileBackupMgr& list = FileBackupMgr::GetInstance();
        for (auto& [id, group] : requests) {
            list.addWorkRequest({id, 0}, group);
        }
    }
    VLOGF(1, "BackupHandOver - %d paths: %d files queued, %d kept for a retry, %d dropped",
          paths.size(), result.queued, result.unresolved.size(), result.dropped);
    return result;
}
