#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

// Walks of a backup tree: what changed since a moment (the start-up check, and the folder
// monitor's rescan after changes may have been missed), and every file of a folder handed
// over whole. Names that never go up are left out: "desktop.ini" (any case), the folder icon
// file of the other desktops, and the temporary names (core/NamePatterns). Symbolic links are
// not followed.
class BackupTreeWalk {
public:
    struct Result {
        std::vector<std::filesystem::path> paths;
        bool complete = true;  // false: stopped by the caller before the end
        size_t entries = 0;    // entries looked at
    };

    static bool IsExcluded(const std::string& name);
    // The moment a file counts as changed: the later of its creation (birth time, or the
    // status change time where the file system keeps no birth time) and its last write, in
    // seconds since 1970. Reading a file changes neither.
    static int64_t ChangeTime(const platform::FileTimes& times);

    // Every file below `root` (the root itself may be a file) that changed at or after
    // `sinceSec`, and every folder born at or after it, as one path that is not entered: a
    // folder made while nobody looked is handed over whole. A folder whose file system keeps
    // no birth time is always entered (its change time moves with every entry made in it).
    // `goOn` is asked every few hundred entries; false stops the walk.
    static Result ChangedSince(const std::filesystem::path& root, int64_t sinceSec,
                               const std::function<bool()>& goOn = {});

    // Every file below `folder` that may go up; the folders holding none land in
    // `emptyFolders` (so that they can be made in the cloud too).
    static std::vector<std::filesystem::path> FilesBelow(
        const std::filesystem::path& folder, std::vector<std::filesystem::path>* emptyFolders);
};
