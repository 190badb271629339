#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "autobackup/FileChangeHandler.h"
#include "cloud/CRequestContext.h"
#include "platform/Event.h"
#include "platform/FolderChange.h"
#include "platform/FolderWatcher.h"
#include "platform/Message.h"

// Watches every backup folder and everything below it (platform/FolderWatcher: one watch per
// folder, a new folder watched first and listed afterwards) for new, written and renamed files
// and for new folders. Each backup folder has its own quiet period: once nothing has happened
// in it for FixedDelay::kBackupQuiet (kBackupNewFolderQuiet after a folder appeared in it, so
// that a folder being copied in goes over once, as a folder, when the copy has settled), what
// it collected goes into the outgoing list and WM_GET_FILE_PID to the notify window; the
// server actions worker then calls HandOverOutgoing, which finds the cloud folders and queues
// the uploads. A deleted file produces nothing.
//
// No change is lost: when the folder watcher says changes may have been missed (the kernel's
// queue or the watcher's bounded queue overflowed, a folder could not be watched), every
// backup folder is walked and what changed since its last hand-over goes over at the next
// quiet period. A folder that cannot be watched at all is walked at every retry of the
// watcher (FixedDelay::kWatchRetry), and the log says so. Paths whose cloud folder could not
// be had are kept and tried again at the next quiet period.
//
//     AutoBackupMonitorMgr& monitor = AutoBackupMonitorMgr::GetInstance();
//     monitor.SetNotifyWindow(dropWindow);
//     monitor.start();                         // the options' backup folders
//     monitor.ChangeWatchedFolders(added, removed);  // after the settings window
//     monitor.Stop();
class AutoBackupMonitorMgr {
public:
    struct Limits {
        size_t queueLimit = 30000;  // changes that may wait for the monitor's thread
        size_t maxWatches = 0;      // watches at most (0: what the system gives)
        std::function<void()> beforeRead;  // tests: hold the watcher to make its queue overflow
    };
    struct Stats {
        uint64_t handOvers = 0;     // quiet periods that handed something over
        uint64_t rescans = 0;       // walks after changes may have been missed
        size_t unwatchedTrees = 0;  // backup folders that could not be watched (walked instead)
        platform::FolderWatcher::Stats watcher;
    };

    static AutoBackupMonitorMgr& GetInstance();
    AutoBackupMonitorMgr();
    explicit AutoBackupMonitorMgr(Limits limits);
    ~AutoBackupMonitorMgr();
    AutoBackupMonitorMgr(const AutoBackupMonitorMgr&) = delete;
    AutoBackupMonitorMgr& operator=(const AutoBackupMonitorMgr&) = delete;

    // Watches the options' backup folders (returns once they are watched); nothing when there
    // is none. Folders added by ChangeWatchedFolders before the start are handed over whole.
    bool start();
    // Ends the thread; changes not handed over yet are dropped (the exit time stays before
    // them, BackupExitTime).
    void Stop();
    bool IsStarted() const { return m_started.load(); }

    // Starts watching the added folders (each is then handed over whole: its files were never
    // looked at) and stops watching the removed ones; returns at once.
    void ChangeWatchedFolders(const std::vector<std::filesystem::path>& added,
                              const std::vector<std::filesystem::path>& removed);
    // The folders being watched (the monitor's thread's view, taken under the lock).
    std::vector<std::filesystem::path> GetWatchedFolders() const;

    // The paths waiting for their cloud folders; the list is empty afterwards.
    std::vector<std::filesystem::path> TakeOutgoing();
    // On the server actions worker: takes the outgoing list and hands it over (BackupHandOver);
    // what could not be handed over is kept for the next quiet period. True when files were
    // queued for upload.
    bool HandOverOutgoing(CRequestContext& context);
    // Paths whose cloud folder could not be had, standing for changes since `sinceSec`: tried
    // again at the next quiet period.
    void KeepForRetry(const std::vector<std::filesystem::path>& paths, int64_t sinceSec);
    // The oldest change (seconds since 1970) seen and not yet queued for upload.
    std::optional<int64_t> OldestUnhandedChange() const;

    void SetNotifyWindow(platform::WindowHandle window) { m_notifyWindow = window; }
    Stats GetStats() const;

private:
    // One backup folder with what changed in it since its last hand-over.
    struct Tree {
        FileChangeHandler handler;
        std::vector<std::filesystem::path> newFolders;
        uint64_t deadlineMs = 0;            // 0: nothing waits
        bool newFolderQuiet = false;        // the long quiet period is in force
        int64_t lastHandOverSec = 0;        // a rescan hands over what changed since
        std::optional<int64_t> pendingSince;  // oldest change collected
        bool watched = true;
    };

    static int64_t NowSec();
    static void KeepOldest(std::optional<int64_t>& oldest, int64_t value);
    static void KeepOldest(std::optional<int64_t>& oldest, const std::optional<int64_t>& value);

    void ThreadMain();
    void RunCommands();
    void AddTree(const std::filesystem::path& root, bool handOverWhole);
    // The watched folders as the other threads see them (and how many are walked instead).
    void PublishTrees();
    void Dispatch(const platform::FolderChange& change);
    void Rescan();
    void Touch(Tree& tree, bool newFolder);
    void ProcessEnd(const std::filesystem::path& root, Tree& tree);
    void Push(std::vector<std::filesystem::path> paths, int64_t sinceSec);
    void RetryDue();
    uint32_t NextTimeout() const;
    Tree* TreeOf(const std::filesystem::path& path, std::filesystem::path* root = nullptr);

    const Limits m_limits;
    std::atomic<platform::WindowHandle> m_notifyWindow{platform::kNoWindow};
    std::unique_ptr<platform::FolderWatcher> m_watcher;
    std::thread m_thread;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stop{false};
    platform::Event m_ready{false, false};
    platform::Event m_command{false, false};
    std::atomic<uint64_t> m_handOvers{0};
    std::atomic<uint64_t> m_rescans{0};

    // Shared with the other threads, under m_mutex.
    mutable std::mutex m_mutex;
    std::vector<std::filesystem::path> m_toAdd;
    std::vector<std::filesystem::path> m_toRemove;
    std::vector<std::filesystem::path> m_outgoing;
    std::optional<int64_t> m_outgoingSince;   // outgoing and being handed over
    std::vector<std::filesystem::path> m_retry;
    std::optional<int64_t> m_retrySince;
    std::optional<int64_t> m_treesSince;      // the trees' oldest collected change
    std::vector<std::filesystem::path> m_watchedView;
    size_t m_unwatchedTrees = 0;

    // The monitor's thread's own.
    std::map<std::filesystem::path, Tree> m_trees;
    uint64_t m_retryDeadlineMs = 0;
    bool m_reportedUnwatched = false;
};
