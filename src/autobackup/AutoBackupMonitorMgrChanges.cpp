// The folder monitor's handling of what changed: the watcher's changes sorted into the trees,
// the rescans, and the hand-over at the end of a tree's quiet period.
#include "autobackup/AutoBackupMonitorMgr.h"

#include <algorithm>
#include <utility>

#include "autobackup/BackupHandOver.h"
#include "autobackup/BackupTreeWalk.h"
#include "core/FixedDelays.h"
#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "platform/FileSystem.h"
#include "platform/SystemInfo.h"
#include "platform/WindowRegistry.h"

namespace fs = std::filesystem;
using platform::FolderAction;

namespace {

// Whether any name from below the root down to the path is one that never goes up (a file in
// a temporary folder is left out with it, as the walks leave it out).
bool ExcludedBelow(const fs::path& root, const fs::path& path) {
    for (const fs::path& part : path.lexically_relative(root)) {
        if (BackupTreeWalk::IsExcluded(part.string())) {
            return true;
        }
    }
    return false;
}

}  // namespace

AutoBackupMonitorMgr::Tree* AutoBackupMonitorMgr::TreeOf(const fs::path& path, fs::path* root) {
    Tree* best = nullptr;
    size_t bestLength = 0;
    for (auto& [candidate, tree] : m_trees) {
        const size_t length = candidate.string().size();
        if (BackupHandOver::IsUnder(path, candidate) && (!best || length > bestLength)) {
            best = &tree;
            bestLength = length;
            if (root) {
                *root = candidate;
            }
        }
    }
    return best;
}

void AutoBackupMonitorMgr::Touch(Tree& tree, bool newFolder) {
    if (newFolder) {
        tree.newFolderQuiet = true;
    }
    const FixedDelay quiet =
        tree.newFolderQuiet ? FixedDelay::kBackupNewFolderQuiet : FixedDelay::kBackupQuiet;
    tree.deadlineMs = platform::TickCountMs() + FixedDelays::Ms(quiet);
    KeepOldest(tree.pendingSince, NowSec() - 1);
}

void AutoBackupMonitorMgr::Dispatch(const platform::FolderChange& change) {
    VLOGF(1, "AutoBackupMonitorMgr::ProcessChangeNotifications: action:%d, name:%s",
          static_cast<int>(change.action), change.path.string());
    fs::path root;
    Tree* tree = TreeOf(change.path, &root);
    if (!tree || change.path == root || ExcludedBelow(root, change.path)) {
        return;
    }
    const bool insideNewFolder = std::any_of(
        tree->newFolders.begin(), tree->newFolders.end(), [&](const fs::path& folder) {
            return change.path != folder && BackupHandOver::IsUnder(change.path, folder);
        });
    switch (change.action) {
        case FolderAction::kAdded:
            if (change.isDirectory) {
                if (!insideNewFolder) {
                    tree->newFolders.push_back(change.path);
                }
                Touch(*tree, true);
            } else {
                if (!insideNewFolder) {
                    tree->handler.fileadd(change.path);
                }
                Touch(*tree, false);  // inside a new folder: the copy goes on, wait longer
            }
            break;
        case FolderAction::kModified:
            if (!insideNewFolder && !change.isDirectory) {
                tree->handler.modified(change.path);
            }
            Touch(*tree, false);
            break;
        case FolderAction::kRenamedOldName:
            if (change.isDirectory) {
                std::erase(tree->newFolders, change.path);
            } else {
                tree->handler.forget(change.path);
            }
            break;
        case FolderAction::kRenamedNewName:
            if (!insideNewFolder) {
                if (change.isDirectory) {
                    tree->newFolders.push_back(change.path);
                } else {
                    tree->handler.fileadd(change.path);
                }
            }
            Touch(*tree, false);
            break;
        case FolderAction::kRemoved:
            break;  // nothing to send; what was collected and is gone is left out at the end
    }
}

void AutoBackupMonitorMgr::Rescan() {
    ++m_rescans;
    const platform::FolderWatcher::Stats stats = m_watcher->GetStats();
    if (stats.unwatched == 0 || !m_reportedUnwatched) {
        LOGF(WARNING, "AutoBackupMonitorMgr - changes may have been missed (%d folders not "
             "watched): walking the backup folders for what changed since their last hand-over",
             stats.unwatched);
    }
    m_reportedUnwatched = stats.unwatched > 0;
    for (auto& [root, tree] : m_trees) {
        const BackupTreeWalk::Result found =
            BackupTreeWalk::ChangedSince(root, tree.lastHandOverSec, [this] { return !m_stop; });
        for (const fs::path& path : found.paths) {
            if (platform::StatFile(path, false).isDirectory) {
                if (std::find(tree.newFolders.begin(), tree.newFolders.end(), path) ==
                    tree.newFolders.end()) {
                    tree.newFolders.push_back(path);
                }
            } else {
                tree.handler.modified(path);
            }
        }
        if (!found.paths.empty()) {
            // A folder that cannot be watched is walked at every retry of the watcher, and
            // finds its recent files again each time: that must not put its quiet period off.
            if (tree.deadlineMs == 0) {
                Touch(tree, false);
            }
            KeepOldest(tree.pendingSince, tree.lastHandOverSec);
        }
    }
}

void AutoBackupMonitorMgr::ProcessEnd(const fs::path& root, Tree& tree) {
    VLOG(1) << "AutoBackupMonitorMgr::pushData] " << root.string();
    std::vector<fs::path> paths;
    for (fs::path& file : tree.handler.processEnd()) {
        const bool underNew = std::any_of(
            tree.newFolders.begin(), tree.newFolders.end(),
            [&](const fs::path& folder) { return BackupHandOver::IsUnder(file, folder); });
        if (!underNew && platform::StatFile(file, false).isRegular) {
            paths.push_back(std::move(file));  // deleted since: nothing to send
        }
    }
    for (fs::path& folder : tree.newFolders) {
        if (platform::StatFile(folder, false).isDirectory) {
            paths.push_back(std::move(folder));
        }
    }
    const int64_t since = tree.pendingSince.value_or(NowSec() - 1);
    tree.newFolders.clear();
    tree.newFolderQuiet = false;
    tree.deadlineMs = 0;
    tree.pendingSince.reset();
    // A rescan after this looks at everything from a second before this hand-over on.
    tree.lastHandOverSec = NowSec() - 1;
    if (!paths.empty()) {
        Push(std::move(paths), since);
    }
}

void AutoBackupMonitorMgr::Push(std::vector<fs::path> paths, int64_t sinceSec) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outgoing.insert(m_outgoing.end(), std::make_move_iterator(paths.begin()),
                          std::make_move_iterator(paths.end()));
        KeepOldest(m_outgoingSince, sinceSec);
    }
    ++m_handOvers;
    if (!platform::PostMessage(m_notifyWindow, WM_GET_FILE_PID)) {
        LOGF(WARNING, "AutoBackupMonitorMgr - %d paths and no window to tell", paths.size());
    }
}

void AutoBackupMonitorMgr::RetryDue() {
    std::vector<fs::path> paths;
    int64_t since = NowSec();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        paths.swap(m_retry);
        since = m_retrySince.value_or(since);
        m_retrySince.reset();
    }
    if (!paths.empty()) {
        Push(std::move(paths), since);
    }
}
