#include "autobackup/AutoBackupMonitorMgr.h"

#include <algorithm>
#include <ctime>
#include <system_error>
#include <utility>

#include "autobackup/BackupHandOver.h"
#include "autobackup/BackupTreeWalk.h"
#include "core/FixedDelays.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/FileSystem.h"
#include "platform/SystemInfo.h"
#include "platform/WaitableObject.h"
#include "platform/WindowRegistry.h"

namespace fs = std::filesystem;
using platform::FolderAction;

int64_t AutoBackupMonitorMgr::NowSec() { return static_cast<int64_t>(std::time(nullptr)); }

void AutoBackupMonitorMgr::KeepOldest(std::optional<int64_t>& oldest, int64_t value) {
    if (!oldest || value < *oldest) {
        oldest = value;
    }
}

void AutoBackupMonitorMgr::KeepOldest(std::optional<int64_t>& oldest,
                                      const std::optional<int64_t>& value) {
    if (value) {
        KeepOldest(oldest, *value);
    }
}



AutoBackupMonitorMgr& AutoBackupMonitorMgr::GetInstance() {
    static AutoBackupMonitorMgr* instance = new AutoBackupMonitorMgr();  // lives until exit
    return *instance;
}

AutoBackupMonitorMgr::AutoBackupMonitorMgr() : AutoBackupMonitorMgr(Limits{}) {}

AutoBackupMonitorMgr::AutoBackupMonitorMgr(Limits limits) : m_limits(std::move(limits)) {}

AutoBackupMonitorMgr::~AutoBackupMonitorMgr() { Stop(); }

bool AutoBackupMonitorMgr::start() {
    if (m_started) {
        return true;
    }
    VLOG(1) << "AutoBackupMonitorMgr::start]";
    bool pendingAdds = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pendingAdds = !m_toAdd.empty();
    }
    if (COptions::GetInstance().GetBackupRecords().empty() && !pendingAdds) {
        LOG(INFO) << "AutoBackupMonitorMgr::start no dir to monitor";
        return false;
    }
    platform::FolderWatcher::Options options;
    options.queueLimit = m_limits.queueLimit;
    options.maxWatches = m_limits.maxWatches;
    options.retryMs = FixedDelays::Ms(FixedDelay::kWatchRetry);
    options.renamePairingMs = FixedDelays::Ms(FixedDelay::kRenamePairing);
    options.beforeRead = m_limits.beforeRead;
    m_watcher = std::make_unique<platform::FolderWatcher>(options);
    m_stop = false;
    try {
        m_thread = std::thread(&AutoBackupMonitorMgr::ThreadMain, this);
    } catch (const std::system_error&) {
        LOG(ERROR) << "AutoBackupMonitorMgr::start]: can't create watcher thread";
        return false;
    }
    m_ready.Wait();
    m_started = true;
    return true;
}

void AutoBackupMonitorMgr::Stop() {
    m_stop = true;
    m_command.Set();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_started = false;
}

void AutoBackupMonitorMgr::ChangeWatchedFolders(const std::vector<fs::path>& added,
                                                const std::vector<fs::path>& removed) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const fs::path& path : removed) {
            std::erase(m_toAdd, path);
            m_toRemove.push_back(path);
        }
        for (const fs::path& path : added) {
            std::erase(m_toRemove, path);
            m_toAdd.push_back(path);
        }
    }
    m_command.Set();
}

std::vector<fs::path> AutoBackupMonitorMgr::GetWatchedFolders() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_watchedView;
}

std::vector<fs::path> AutoBackupMonitorMgr::TakeOutgoing() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_outgoingSince.reset();
    return std::exchange(m_outgoing, {});
}

bool AutoBackupMonitorMgr::HandOverOutgoing(CRequestContext& context) {
    std::vector<fs::path> paths;
    int64_t since = NowSec();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        paths.swap(m_outgoing);
        // Still held while being handed over: the exit time must not pass it meanwhile.
        if (m_outgoingSince) {
            since = *m_outgoingSince;
        }
    }
    VLOGF(1, "AutoBackupMonitorMgr - handing over %d paths", paths.size());
    if (paths.empty()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_outgoing.empty()) {
            m_outgoingSince.reset();
        }
        return false;
    }
    BackupHandOver handOver(context, CloudApi::CreatePathMode::kTimed);
    const BackupHandOver::Result result = handOver.HandOver(paths, since);
    if (!result.unresolved.empty()) {
        KeepForRetry(result.unresolved, since);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_outgoing.empty()) {
            m_outgoingSince.reset();
        }
    }
    return result.queued > 0;
}

void AutoBackupMonitorMgr::KeepForRetry(const std::vector<fs::path>& paths, int64_t sinceSec) {
    if (paths.empty()) {
        return;
    }
    LOGF(WARNING, "AutoBackupMonitorMgr - %d paths wait for their cloud folder, tried again "
         "at the next quiet period", paths.size());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_retry.insert(m_retry.end(), paths.begin(), paths.end());
        KeepOldest(m_retrySince, sinceSec);
    }
    m_command.Set();
}

std::optional<int64_t> AutoBackupMonitorMgr::OldestUnhandedChange() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::optional<int64_t> oldest;
    KeepOldest(oldest, m_outgoingSince);
    KeepOldest(oldest, m_retrySince);
    KeepOldest(oldest, m_treesSince);
    return oldest;
}

AutoBackupMonitorMgr::Stats AutoBackupMonitorMgr::GetStats() const {
    Stats stats;
    stats.handOvers = m_handOvers;
    stats.rescans = m_rescans;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        stats.unwatchedTrees = m_unwatchedTrees;
    }
    if (m_watcher) {
        stats.watcher = m_watcher->GetStats();
    }
    return stats;
}

void AutoBackupMonitorMgr::ThreadMain() {
    platform::FolderWatcher& watcher = *m_watcher;
    if (!watcher.Start()) {
        LOGF(ERROR, "AutoBackupMonitorMgr - no inotify instance: the backup folders are walked "
             "every %u ms instead", FixedDelays::Ms(FixedDelay::kWatchRetry));
    }
    std::vector<fs::path> added;
    std::vector<fs::path> removed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        added.swap(m_toAdd);
        removed.swap(m_toRemove);
    }
    for (const fs::path& root : COptions::GetInstance().GetBackupPaths()) {
        if (std::find(removed.begin(), removed.end(), root) == removed.end()) {
            AddTree(root, std::find(added.begin(), added.end(), root) != added.end());
        }
    }
    for (const fs::path& root : added) {
        AddTree(root, true);  // a no-op for those just added
    }
    m_ready.Set();

    while (!m_stop) {
        const int which =
            platform::WaitAny({&watcher.ChangesReady(), &m_command}, NextTimeout());
        if (m_stop) {
            break;
        }
        if (which == 1) {
            RunCommands();
        } else if (which == 0) {
            platform::FolderWatcher::Batch batch = watcher.TakeChanges();
            if (batch.rescan) {
                Rescan();
            }
            for (const platform::FolderChange& change : batch.changes) {
                Dispatch(change);
            }
        }
        const uint64_t now = platform::TickCountMs();
        std::optional<int64_t> treesSince;
        for (auto& [root, tree] : m_trees) {
            if (tree.deadlineMs != 0 && now >= tree.deadlineMs) {
                ProcessEnd(root, tree);
            }
            KeepOldest(treesSince, tree.pendingSince);
        }
        bool retryWaits = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_treesSince = treesSince;
            retryWaits = !m_retry.empty();
        }
        if (retryWaits && m_retryDeadlineMs == 0) {
            m_retryDeadlineMs = now + FixedDelays::Ms(FixedDelay::kBackupQuiet);
        } else if (m_retryDeadlineMs != 0 && now >= m_retryDeadlineMs) {
            m_retryDeadlineMs = 0;
            RetryDue();
        }
    }
    watcher.Stop();
    m_trees.clear();
    m_retryDeadlineMs = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_watchedView.clear();
    m_treesSince.reset();
}

uint32_t AutoBackupMonitorMgr::NextTimeout() const {
    uint64_t next = m_retryDeadlineMs;
    for (const auto& [root, tree] : m_trees) {
        if (tree.deadlineMs != 0 && (next == 0 || tree.deadlineMs < next)) {
            next = tree.deadlineMs;
        }
    }
    if (next == 0) {
        return platform::kInfinite;
    }
    const uint64_t now = platform::TickCountMs();
    return next > now ? static_cast<uint32_t>(next - now) : 0;
}

void AutoBackupMonitorMgr::RunCommands() {
    std::vector<fs::path> added;
    std::vector<fs::path> removed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        added.swap(m_toAdd);
        removed.swap(m_toRemove);
    }
    for (const fs::path& root : removed) {
        if (m_trees.erase(root) > 0) {
            m_watcher->RemoveFolder(root);
            LOG(INFO) << "AutoBackupMonitorMgr - no longer watching " << root.string();
        }
    }
    PublishTrees();
    for (const fs::path& root : added) {
        AddTree(root, true);
    }
}

void AutoBackupMonitorMgr::AddTree(const fs::path& root, bool handOverWhole) {
    if (m_trees.count(root) > 0) {
        return;
    }
    if (!platform::StatFile(root).isDirectory) {
        LOG(WARNING) << "AutoBackupMonitorMgr - backup folder missing, not watched: " << root.string();
        return;
    }
    Tree& tree = m_trees[root];
    // Watched first, handed over afterwards: a change from now on is either seen or found.
    tree.watched = m_watcher->AddFolder(root);
    tree.lastHandOverSec = NowSec() - 1;
    if (!tree.watched) {
        LOGF(WARNING, "AutoBackupMonitorMgr - can't watch %s: it is walked for changes every %u ms "
             "instead", root.string(), FixedDelays::Ms(FixedDelay::kWatchRetry));
    } else {
        LOG(INFO) << "AutoBackupMonitorMgr - watching " << root.string();
    }
    // The folders are told before the folder goes over, so that whoever sees it go over
    // finds it among them.
    PublishTrees();
    if (handOverWhole) {
        Push({root}, NowSec());
    }
}

void AutoBackupMonitorMgr::PublishTrees() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unwatchedTrees = static_cast<size_t>(std::count_if(
        m_trees.begin(), m_trees.end(), [](const auto& entry) { return !entry.second.watched; }));
    m_watchedView.clear();
    for (const auto& [path, each] : m_trees) {
        m_watchedView.push_back(path);
    }
}
