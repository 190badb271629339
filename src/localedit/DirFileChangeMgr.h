#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "core/NamePatterns.h"
#include "localedit/DirFileChangeHandler.h"
#include "platform/Event.h"
#include "platform/FolderChange.h"
#include "platform/FolderWatcher.h"
#include "platform/Message.h"

// Watches the local-edit folder (the work folder's "edit") and everything below it, so that
// the local edit manager learns when the user saved a file opened for editing. Its thread
// takes what the folder watcher (platform/FolderWatcher) saw, leaves out the names of
// temporary files, collects the rest in a DirFileChangeHandler and, once the folder has been
// quiet for FixedDelay::kEditQuiet after the last change, posts the saved files to the notify
// window: WM_LOCALEDIT_FILE_CHANGE with a std::vector<std::filesystem::path>. A burst of saves
// is one hand-over.
//
// No save is lost: when the folder watcher says changes may have been missed (its queue or
// the kernel's overflowed, a folder could not be watched), the tree is compared with what was
// last handed over, and every file whose size or modification time differs is handed over.
//
//     DirFileChangeMgr& watcher = DirFileChangeMgr::GetInstance();
//     watcher.SetNotifyWindow(dropWindow);
//     watcher.start();                   // returns once the folder is watched
//     ...                                // WM_LOCALEDIT_FILE_CHANGE after each save
//     watcher.Stop();
class DirFileChangeMgr {
public:
    struct Limits {
        // Changes that may wait for the watcher's thread; more are dropped for a comparison.
        size_t queueLimit = 1000;
        // Folders watched at most (0: as many as the system gives); the folders past it are
        // compared instead, as when the system has no watches left.
        size_t maxWatches = 0;
    };

    struct Stats {
        uint64_t handOvers = 0;  // messages posted
        uint64_t rescans = 0;    // comparisons of the tree after changes may have been missed
        platform::FolderWatcher::Stats watcher;
    };

    // The process's watcher of the work folder's "edit" folder.
    static DirFileChangeMgr& GetInstance();
    explicit DirFileChangeMgr(std::filesystem::path folder);
    DirFileChangeMgr(std::filesystem::path folder, Limits limits);
    virtual ~DirFileChangeMgr();
    DirFileChangeMgr(const DirFileChangeMgr&) = delete;
    DirFileChangeMgr& operator=(const DirFileChangeMgr&) = delete;

    // Ends the watcher's thread (what was collected and not handed over is dropped); start
    // begins again.
    virtual void Stop();
    // Starts the watcher's thread unless it runs, and returns once the folder is watched.
    virtual bool start();
    bool IsStarted() const { return m_started.load(); }

    void SetNotifyWindow(platform::WindowHandle window) { m_notifyWindow = window; }
    const std::filesystem::path& GetFolder() const { return m_folder; }
    Stats GetStats() const;

private:
    struct Version {
        uint64_t size = 0;
        int64_t lastWriteNs = 0;
        bool operator==(const Version&) const = default;
    };

    void ThreadMain();
    void Dispatch(const platform::FolderChange& change);
    void Rescan();
    void processEnd();
    // Every regular file below the folder whose name is not left out, with its version.
    std::map<std::filesystem::path, Version> ListFiles() const;
    void ArmQuietTimeout();

    const std::filesystem::path m_folder;
    const Limits m_limits;
    const NamePatterns m_patterns{NamePatterns::kTemporaryFiles};
    std::atomic<platform::WindowHandle> m_notifyWindow{platform::kNoWindow};

    std::unique_ptr<platform::FolderWatcher> m_watcher;
    std::thread m_thread;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stop{false};
    platform::Event m_ready{false, false};
    platform::Event m_wake{false, false};
    std::atomic<uint64_t> m_handOvers{0};
    std::atomic<uint64_t> m_rescans{0};

    // The watcher thread's own.
    DirFileChangeHandler m_handler;
    std::filesystem::path m_oldName;
    uint64_t m_quietDeadlineMs = 0;  // 0: nothing waits to be handed over
    bool m_comparingUnwatched = false;
    // What each file was when it was last handed over (or first seen): a comparison hands
    // over what differs.
    std::map<std::filesystem::path, Version> m_versions;
};
