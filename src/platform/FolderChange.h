#pragma once

#include <cstdint>
#include <filesystem>

namespace platform {

// What happened to one path below a watched folder, in the action codes the watchers built on
// the folder watcher work with.
enum class FolderAction : int32_t {
    kAdded = 1,           // created, or moved in from outside the watched folders
    kRemoved = 2,         // deleted, or moved out of the watched folders
    kModified = 3,        // a file written and closed
    kRenamedOldName = 4,  // the name a rename inside the watched folders took away ...
    kRenamedNewName = 5,  // ... and the name it gave, reported right after the old one
};

struct FolderChange {
    std::filesystem::path path;  // full path: the watched folder's path and the names below it
    FolderAction action = FolderAction::kAdded;
    bool isDirectory = false;
    bool operator==(const FolderChange&) const = default;
};

}  // namespace platform
