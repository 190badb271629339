#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "platform/FolderChange.h"

namespace platform {

// The watches of a folder watcher (FolderWatcher): one inotify instance, one watch per folder
// of the watched trees (the roots), each known by its present path, and the folders that could
// not be watched. Used by the watcher's thread alone.
class FolderWatchTable {
public:
    explicit FolderWatchTable(size_t maxWatches);
    ~FolderWatchTable();
    FolderWatchTable(const FolderWatchTable&) = delete;
    FolderWatchTable& operator=(const FolderWatchTable&) = delete;

    // The inotify instance, made when missing; -1 when none can be had.
    int Open();
    int Handle() const { return m_fd; }
    // Drops every watch (with the instance) and forgets the roots.
    void Close();

    // Watches the root's tree; true when the root itself is watched. A root that cannot be
    // watched (or is not there) is tried again by RetryUnwatched.
    bool AddRoot(const std::filesystem::path& root);
    // Stops watching the root's tree, except what another root holds.
    void RemoveRoot(const std::filesystem::path& root);
    bool IsRoot(const std::filesystem::path& folder) const { return m_roots.count(folder) > 0; }

    // Watches the folder and every folder below it, each watched first and listed afterwards;
    // `found`, when given, receives every entry the listings find.
    void AddTree(const std::filesystem::path& folder,
                 const std::function<void(FolderChange)>& found = nullptr);
    std::optional<std::filesystem::path> PathOf(int wd) const;
    // The kernel ended the watch (its folder went): it is forgotten, a root is tried again.
    void Ended(int wd);
    // A root was renamed or moved away: its watches are no longer where their paths say; it
    // is tried again until a folder of its name is there.
    void RootMoved(const std::filesystem::path& root);
    // Removes the watches of the tree; with keepRooted, not those another root holds.
    void DropTree(const std::filesystem::path& folder, bool keepRooted);
    void RenameTree(const std::filesystem::path& from, const std::filesystem::path& to);
    // After the kernel dropped events: every folder of the roots is watched (again) under its
    // present path, and watches of folders no longer in the trees are removed.
    void Resync();
    // Tries the folders that could not be watched again; true when one of them is there (its
    // changes until now went unseen).
    bool RetryUnwatched();

    // True once after a folder that is there could not be watched.
    bool TakeRescanNeeded();
    size_t WatchCount() const { return m_paths.size(); }
    size_t UnwatchedCount() const { return m_unwatched.size(); }

private:
    // AddTree, and with `seen` the watches of the tree are collected there.
    void WatchTree(const std::filesystem::path& folder,
                   const std::function<void(FolderChange)>& found, std::set<int>* seen);
    int AddWatch(const std::filesystem::path& folder);
    void Forget(int wd);
    void MarkUnwatched(const std::filesystem::path& folder);
    bool UnderRoot(const std::filesystem::path& path) const;

    const size_t m_maxWatches;
    int m_fd = -1;
    std::unordered_map<int, std::filesystem::path> m_paths;  // watch -> folder
    std::map<std::filesystem::path, int> m_watches;          // folder -> watch
    std::set<std::filesystem::path> m_roots;
    std::set<std::filesystem::path> m_unwatched;
    bool m_rescanNeeded = false;
};

}  // namespace platform
