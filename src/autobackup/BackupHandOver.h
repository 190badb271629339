#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cloud/CloudApi.h"
#include "cloud/CRequestContext.h"
#include "core/Options.h"

// Hands backup paths over to the uploads: each file's folder is made in the cloud (create
// path, relative to the parent of its backup folder, under the backup root of the backup file
// list), then the files go into the backup file list as upload requests of their cloud
// folders, where the ordinary upload handling hashes them and compares them with the server,
// so that content the server holds already is not sent again. A folder is handed over with
// every file below it (and its empty folders are made too).
//
// Runs on the caller's thread (the server actions worker, the change checker); one object per
// hand-over: the cloud folders found are remembered only for its paths.
class BackupHandOver {
public:
    struct Result {
        size_t queued = 0;                          // files put into upload requests
        std::vector<std::filesystem::path> unresolved;  // their cloud folder was not had
        size_t dropped = 0;                         // gone, or under no backup folder now
    };

    BackupHandOver(CRequestContext& context, CloudApi::CreatePathMode mode);

    // Also notes the hand-over for the exit time (BackupExitTime): `changedSinceSec` is the
    // oldest change the paths stand for.
    Result HandOver(const std::vector<std::filesystem::path>& paths, int64_t changedSinceSec);

    // The create-path text of a local folder: from the backup folder's own name on, "/"
    // between the parts. Nothing when it lies under none of the backup folders.
    static std::optional<std::string> RelativePath(
        const std::vector<COptions::BackupRecord>& records, const std::filesystem::path& folder);
    static bool IsUnder(const std::filesystem::path& path, const std::filesystem::path& root);

private:
    // The cloud id of a local folder, 0 when it could not be found or made.
    int64_t FolderId(const std::filesystem::path& folder);

    CRequestContext& m_context;
    const CloudApi::CreatePathMode m_mode;
    std::vector<COptions::BackupRecord> m_records;
    int64_t m_rootId = 0;
    bool m_unreachable = false;  // the server could not be reached: no further request now
    std::map<std::filesystem::path, int64_t> m_folders;
};
