#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/FolderChange.h"
#include "platform/FolderWatchTable.h"

namespace platform {

// Watches folder trees for changes of the files and folders in them: inotify, one watch per
// folder, read on a thread of the watcher's own, which alone touches the watches. What changed
// waits in a bounded queue for the watcher's user, who waits for ChangesReady() (beside its own
// events) and takes everything queued with TakeChanges() on its own thread.
//
//     FolderWatcher watcher(options);
//     watcher.Start();
//     watcher.AddFolder(root);                // returns once the whole tree is watched
//     while (...) {
//         WaitAny({&watcher.ChangesReady(), &myWake}, quietTimeout);
//         FolderWatcher::Batch batch = watcher.TakeChanges();
//         if (batch.rescan) { /* compare the trees with what is known */ }
//         for (const FolderChange& change : batch.changes) { ... }
//     }
//     watcher.Stop();
//
// A folder that appears is watched first and listed afterwards, so that nothing created in it
// meanwhile is missed: what the listing finds is reported as added (entries that were also
// seen by the new watch come twice). A rename inside the watched trees is the old name (4)
// followed at once by the new name (5); a move in from outside is an addition, a move out a
// removal. Folders are never followed through symbolic links.
//
// Whenever changes may have been missed, the batch says rescan, and only then: the kernel's
// queue overflowed, more changes waited than the queue holds (the queued ones are dropped), or
// a folder could not be watched (no watches left, no inotify instance, no access). Before a
// rescan is reported the watches are put right: after an overflow the trees are walked again
// and every folder is watched under its present path; a folder that could not be watched is
// tried again every retryMs, and each try (failed or not) reports a rescan, so that its
// changes are found by comparing until it is watched.
class FolderWatcher {
public:
    struct Options {
        size_t queueLimit = 1000;       // changes waiting to be taken; more means rescan
        uint32_t retryMs = 0;           // folders that could not be watched: period of retries
                                        // and rescans; 0: never retried
        uint32_t renamePairingMs = 0;   // how long the new name of a rename is awaited after
                                        // the old one was read; 0: only within one read
        size_t maxWatches = 0;          // watches this watcher makes at most (0: as many as
                                        // the kernel gives); one more fails as the kernel's
                                        // own limit does
        // Called on the watcher's thread each time before it reads what the kernel queued.
        // Tests hold the thread there to let the kernel's queue overflow.
        std::function<void()> beforeRead;
    };
    struct Batch {
        std::vector<FolderChange> changes;  // in the order they happened
        bool rescan = false;
    };
    struct Stats {
        size_t watches = 0;           // folders watched now
        size_t unwatched = 0;         // folders that could not be watched, waiting for a retry
        uint64_t kernelOverflows = 0; // the kernel's queue overflowed
        uint64_t queueOverflows = 0;  // more changes waited than the queue holds
        uint64_t rescans = 0;         // batches that said rescan
    };

    explicit FolderWatcher(Options options);
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;

    // Starts the watcher's thread (true when it runs already). False when no inotify instance
    // can be had; the thread runs all the same, every folder counts as not watched and is tried again (with rescans) as
    // the options say.
    bool Start();
    // Ends the thread and drops every watch and every change not yet taken. The watcher can
    // be started again.
    void Stop();
    bool IsRunning() const { return m_running.load(); }

    // Watches the folder and everything below it; returns once that is done. What is in the
    // folder now is not reported. False when the watcher does not run, the path is no folder,
    // or the folder itself could not be watched (then it is tried again as the options say).
    bool AddFolder(const std::filesystem::path& folder);
    // Stops watching the folder's tree (except what another watched folder holds).
    void RemoveFolder(const std::filesystem::path& folder);

    // Set (auto-reset) whenever changes or a rescan wait to be taken.
    WaitableObject& ChangesReady() { return m_ready; }
    Batch TakeChanges();

    Stats GetStats() const;

private:
    struct Command;
    // A change on its way to the queue. The old name of a rename waits for its new name (the
    // event with the same cookie) until the deadline; what came after it waits behind it, so the order holds.
    struct Held {
        FolderChange change;
        uint32_t cookie = 0;
        bool waiting = false;  // an old name whose new name has not been read yet
        uint64_t deadlineMs = 0;
    };

    // Hands the command to the watcher's thread and waits until it is done; false when the
    // watcher does not run.
    bool RunCommand(const std::shared_ptr<Command>& command);
    void ThreadMain();
    void RunCommands();
    void ReadEvents();
    void HandleEvent(int wd, uint32_t mask, uint32_t cookie, const char* name);
    void Hold(FolderChange change, uint32_t cookie = 0);
    void Publish();
    int PollTimeout() const;
    void UpdateStats();

    const Options m_options;

    // Shared with the user's threads, under m_mutex.
    mutable std::mutex m_mutex;
    std::vector<FolderChange> m_queue;
    bool m_rescan = false;
    std::deque<std::shared_ptr<Command>> m_commands;
    Stats m_stats;
    Event m_ready{false, false};

    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopping{false};
    int m_wakeFd = -1;

    // The watcher thread's own (made and dropped by Start and Stop, before and after it).
    std::unique_ptr<FolderWatchTable> m_table;
    std::deque<Held> m_held;  // changes in order, waiting for the other half of a rename
    bool m_needResync = false;
    bool m_needRescan = false;
    uint64_t m_nextRetryMs = 0;  // 0: nothing to try again
};

}  // namespace platform
