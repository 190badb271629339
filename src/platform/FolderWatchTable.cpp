#include "platform/FolderWatchTable.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "platform/DirectoryReader.h"
#include "platform/FileSystem.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

// Closing a file after writing is what counts as a modification: a file being written is
// reported once, when it is complete, not for every write. IN_MOVE_SELF tells a watched folder
// that was itself renamed or moved away; IN_EXCL_UNLINK spares the events of files that were
// deleted while still open.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                IN_MOVED_TO | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW |
                                IN_EXCL_UNLINK;

bool IsUnder(const fs::path& path, const fs::path& folder) {
    auto part = path.begin();
    for (auto want = folder.begin(); want != folder.end(); ++want, ++part) {
        if (part == path.end() || *part != *want) {
            return false;
        }
    }
    return true;
}

fs::path Rebase(const fs::path& path, const fs::path& from, const fs::path& to) {
    fs::path result = to;
    auto part = path.begin();
    for (auto skip = from.begin(); skip != from.end() && part != path.end(); ++skip) {
        ++part;
    }
    for (; part != path.end(); ++part) {
        result /= *part;
    }
    return result;
}

// Errors after which the folder is simply not there (any more) to be watched.
bool IsGone(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

}  // namespace

FolderWatchTable::FolderWatchTable(size_t maxWatches) : m_maxWatches(maxWatches) {}

FolderWatchTable::~FolderWatchTable() { Close(); }

int FolderWatchTable::Open() {
    if (m_fd < 0) {
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    return m_fd;
}

void FolderWatchTable::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);  // the kernel drops every watch of the instance with it
        m_fd = -1;
    }
    m_paths.clear();
    m_watches.clear();
    m_roots.clear();
    m_unwatched.clear();
    m_rescanNeeded = false;
}

bool FolderWatchTable::AddRoot(const fs::path& root) {
    m_roots.insert(root);
    AddTree(root);
    if (m_watches.count(root) > 0) {
        return true;
    }
    // A folder that is not there yet is tried again like one that could not be watched: it
    // may be made later.
    MarkUnwatched(root);
    return false;
}

void FolderWatchTable::RemoveRoot(const fs::path& root) {
    m_roots.erase(root);
    DropTree(root, true);
}

void FolderWatchTable::AddTree(const fs::path& folder,
                               const std::function<void(FolderChange)>& found) {
    WatchTree(folder, found, nullptr);
}

void FolderWatchTable::WatchTree(const fs::path& folder,
                                 const std::function<void(FolderChange)>& found,
                                 std::set<int>* seen) {
    std::vector<fs::path> pending{folder};
    while (!pending.empty()) {
        fs::path dir = std::move(pending.back());
        pending.pop_back();
        const int wd = AddWatch(dir);
        if (wd < 0) {
            if (!IsGone(errno)) {
                MarkUnwatched(dir);
            }
            continue;
        }
        if (seen) {
            seen->insert(wd);
        }
        m_unwatched.erase(dir);
        // Listed only now that it is watched: whatever is made in it from here on is reported
        // by the watch, whatever was made before is in the listing.
        DirectoryReader reader;
        if (!reader.Open(dir, false)) {
            continue;
        }
        DirectoryReader::Entry entry;
        while (reader.Next(entry)) {
            const bool isDirectory = entry.type == DirectoryReader::EntryType::kDirectory;
            fs::path path = dir / entry.name;
            if (found) {
                found({path, FolderAction::kAdded, isDirectory});
            }
            if (isDirectory) {
                pending.push_back(std::move(path));
            }
        }
    }
}

int FolderWatchTable::AddWatch(const fs::path& folder) {
    if (Open() < 0) {
        return -1;
    }
    if (m_maxWatches > 0 && !m_watches.count(folder) && m_watches.size() >= m_maxWatches) {
        errno = ENOSPC;
        return -1;
    }
    const int wd = ::inotify_add_watch(m_fd, folder.c_str(), kWatchMask);
    if (wd < 0) {
        return -1;
    }
    // The kernel gives a folder that is watched already its watch again: after a rename that
    // was not seen (an overflow), the watch is known under the folder's old path.
    const auto known = m_paths.find(wd);
    if (known != m_paths.end() && known->second != folder) {
        m_watches.erase(known->second);
    }
    m_paths[wd] = folder;
    m_watches[folder] = wd;
    return wd;
}

std::optional<fs::path> FolderWatchTable::PathOf(int wd) const {
    const auto found = m_paths.find(wd);
    if (found == m_paths.end()) {
        return std::nullopt;
    }
    return found->second;
}

void FolderWatchTable::Ended(int wd) {
    const auto folder = PathOf(wd);
    Forget(wd);
    if (folder && m_roots.count(*folder)) {
        MarkUnwatched(*folder);
    }
}

void FolderWatchTable::RootMoved(const fs::path& root) {
    DropTree(root, false);
    MarkUnwatched(root);
}

void FolderWatchTable::Forget(int wd) {
    const auto found = m_paths.find(wd);
    if (found == m_paths.end()) {
        return;
    }
    const auto reverse = m_watches.find(found->second);
    if (reverse != m_watches.end() && reverse->second == wd) {
        m_watches.erase(reverse);
    }
    m_paths.erase(found);
}

void FolderWatchTable::DropTree(const fs::path& folder, bool keepRooted) {
    const auto drops = [&](const fs::path& path) {
        return IsUnder(path, folder) && !(keepRooted && UnderRoot(path));
    };
    std::vector<int> drop;
    for (const auto& [path, wd] : m_watches) {
        if (drops(path)) {
            drop.push_back(wd);
        }
    }
    for (const int wd : drop) {
        ::inotify_rm_watch(m_fd, wd);
        Forget(wd);
    }
    for (auto it = m_unwatched.begin(); it != m_unwatched.end();) {
        it = drops(*it) ? m_unwatched.erase(it) : std::next(it);
    }
}

void FolderWatchTable::RenameTree(const fs::path& from, const fs::path& to) {
    std::vector<std::pair<fs::path, int>> moved;
    for (const auto& [path, wd] : m_watches) {
        if (IsUnder(path, from)) {
            moved.emplace_back(path, wd);
        }
    }
    for (const auto& [path, wd] : moved) {
        const fs::path now = Rebase(path, from, to);
        m_watches.erase(path);
        m_watches[now] = wd;
        m_paths[wd] = now;
    }
    std::vector<fs::path> unwatched;
    for (auto it = m_unwatched.begin(); it != m_unwatched.end();) {
        if (IsUnder(*it, from)) {
            unwatched.push_back(Rebase(*it, from, to));
            it = m_unwatched.erase(it);
        } else {
            ++it;
        }
    }
    m_unwatched.insert(unwatched.begin(), unwatched.end());
}

void FolderWatchTable::Resync() {
    std::set<int> seen;
    for (const fs::path& root : m_roots) {
        WatchTree(root, nullptr, &seen);
        if (!m_watches.count(root)) {
            MarkUnwatched(root);
        }
    }
    std::vector<int> stale;
    for (const auto& [wd, path] : m_paths) {
        if (!seen.count(wd)) {
            stale.push_back(wd);
        }
    }
    for (const int wd : stale) {
        ::inotify_rm_watch(m_fd, wd);
        Forget(wd);
    }
}

bool FolderWatchTable::RetryUnwatched() {
    const std::set<fs::path> folders = m_unwatched;
    bool present = false;
    for (const fs::path& folder : folders) {
        if (!UnderRoot(folder)) {
            m_unwatched.erase(folder);
            continue;
        }
        if (!StatFile(folder, false).isDirectory) {
            // Gone: nothing in it can change. A root stays on the list until it is back.
            if (!m_roots.count(folder)) {
                m_unwatched.erase(folder);
            }
            continue;
        }
        present = true;
        m_unwatched.erase(folder);
        AddTree(folder);  // puts back what still cannot be watched
    }
    return present;
}

void FolderWatchTable::MarkUnwatched(const fs::path& folder) {
    m_unwatched.insert(folder);
    if (StatFile(folder, false).isDirectory) {
        m_rescanNeeded = true;
    }
}

bool FolderWatchTable::TakeRescanNeeded() { return std::exchange(m_rescanNeeded, false); }

bool FolderWatchTable::UnderRoot(const fs::path& path) const {
    return std::any_of(m_roots.begin(), m_roots.end(),
                       [&path](const fs::path& root) { return IsUnder(path, root); });
}

}  // namespace platform
