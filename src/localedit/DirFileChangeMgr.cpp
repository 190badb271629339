#include "localedit/DirFileChangeMgr.h"

#include <system_error>
#include <utility>
#include <vector>

#include "core/FixedDelays.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/DirectoryReader.h"
#include "platform/FileSystem.h"
#include "platform/SystemInfo.h"
#include "platform/WaitableObject.h"
#include "platform/WindowRegistry.h"

namespace fs = std::filesystem;
using platform::FolderAction;

DirFileChangeMgr& DirFileChangeMgr::GetInstance() {
    // Lives until process exit.
    static DirFileChangeMgr* instance =
        new DirFileChangeMgr(COptions::GetInstance().GetWorkDir() / "edit");
    return *instance;
}

DirFileChangeMgr::DirFileChangeMgr(fs::path folder) : DirFileChangeMgr(std::move(folder), Limits{}) {}

DirFileChangeMgr::DirFileChangeMgr(fs::path folder, Limits limits)
    : m_folder(std::move(folder)), m_limits(limits) {}

DirFileChangeMgr::~DirFileChangeMgr() { Stop(); }

bool DirFileChangeMgr::start() {
    if (m_started) {
        return true;
    }
    VLOG(1) << "DirFileChangeMgr::start]";
    if (!m_watcher) {
        platform::FolderWatcher::Options options;
        options.queueLimit = m_limits.queueLimit;
        options.maxWatches = m_limits.maxWatches;
        options.retryMs = FixedDelays::Ms(FixedDelay::kWatchRetry);
        options.renamePairingMs = FixedDelays::Ms(FixedDelay::kRenamePairing);
        m_watcher = std::make_unique<platform::FolderWatcher>(options);
    }
    m_stop = false;
    try {
        m_thread = std::thread(&DirFileChangeMgr::ThreadMain, this);
    } catch (const std::system_error&) {
        LOG(ERROR) << "DirFileChangeMgr::start]: can't create watcher thread";
        return true;
    }
    m_ready.Wait();
    m_started = true;
    return true;
}

void DirFileChangeMgr::Stop() {
    m_stop = true;
    m_wake.Set();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_started = false;
}

DirFileChangeMgr::Stats DirFileChangeMgr::GetStats() const {
    Stats stats;
    stats.handOvers = m_handOvers;
    stats.rescans = m_rescans;
    if (m_watcher) {
        stats.watcher = m_watcher->GetStats();
    }
    return stats;
}

void DirFileChangeMgr::ThreadMain() {
    platform::FolderWatcher& watcher = *m_watcher;
    if (!watcher.Start()) {
        LOGF(ERROR, "DirFileChangeMgr - no inotify instance: %s is compared every %u ms instead",
             m_folder.string(), FixedDelays::Ms(FixedDelay::kWatchRetry));
    }
    if (!watcher.AddFolder(m_folder)) {
        LOGF(WARNING, "DirFileChangeMgr - can't watch %s now, tried again every %u ms",
             m_folder.string(), FixedDelays::Ms(FixedDelay::kWatchRetry));
    }
    // Watched first, listed afterwards: a save from now on is either seen or differs from
    // what the listing found.
    m_versions = ListFiles();
    m_ready.Set();

    while (!m_stop) {
        uint32_t timeout = platform::kInfinite;
        if (m_quietDeadlineMs != 0) {
            const uint64_t now = platform::TickCountMs();
            timeout = m_quietDeadlineMs > now ? static_cast<uint32_t>(m_quietDeadlineMs - now) : 0;
        }
        const int which = platform::WaitAny({&watcher.ChangesReady(), &m_wake}, timeout);
        if (m_stop) {
            break;
        }
        if (which == 0) {
            platform::FolderWatcher::Batch batch = watcher.TakeChanges();
            if (batch.rescan) {
                Rescan();
            }
            for (const platform::FolderChange& change : batch.changes) {
                Dispatch(change);
            }
        }
        if (m_quietDeadlineMs != 0 && platform::TickCountMs() >= m_quietDeadlineMs) {
            m_quietDeadlineMs = 0;
            processEnd();
        }
    }
    watcher.Stop();
    m_handler.processEnd();
    m_oldName.clear();
    m_quietDeadlineMs = 0;
}

void DirFileChangeMgr::Dispatch(const platform::FolderChange& change) {
    if (change.isDirectory) {
        return;
    }
    if (change.action == FolderAction::kRenamedOldName) {
        m_oldName = change.path;
        return;
    }
    if (m_patterns.Matches(change.path.filename().string())) {
        return;
    }
    switch (change.action) {
        case FolderAction::kAdded:
            m_handler.fileadd(change.path);
            ArmQuietTimeout();
            break;
        case FolderAction::kModified:
            m_handler.modified(change.path);
            ArmQuietTimeout();
            break;
        case FolderAction::kRenamedNewName:
            m_handler.rename(std::exchange(m_oldName, {}), change.path);
            ArmQuietTimeout();
            break;
        case FolderAction::kRemoved:
            m_handler.removed(change.path);
            break;
        default:
            break;
    }
}

void DirFileChangeMgr::ArmQuietTimeout() {
    m_quietDeadlineMs = platform::TickCountMs() + FixedDelays::Ms(FixedDelay::kEditQuiet);
}

void DirFileChangeMgr::Rescan() {
    ++m_rescans;
    // A folder that stays unwatched is compared at every retry: said once, not every time.
    const size_t unwatched = m_watcher->GetStats().unwatched;
    if (unwatched == 0 || !m_comparingUnwatched) {
        LOGF(WARNING,
             "DirFileChangeMgr - changes below %s may have been missed: comparing its files "
             "(%d folders not watched)",
             m_folder.string(), unwatched);
    }
    m_comparingUnwatched = unwatched > 0;
    std::map<fs::path, Version> present = ListFiles();
    for (const auto& [path, version] : present) {
        const auto known = m_versions.find(path);
        if (known == m_versions.end() || !(known->second == version)) {
            m_handler.modified(path);
            ArmQuietTimeout();
        }
    }
    // Files that are gone are forgotten; the versions of the changed ones are taken when
    // they are handed over.
    for (auto it = m_versions.begin(); it != m_versions.end();) {
        it = present.count(it->first) ? std::next(it) : m_versions.erase(it);
    }
}

void DirFileChangeMgr::processEnd() {
    std::vector<fs::path> saved;
    for (fs::path& path : m_handler.processEnd()) {
        const platform::FileStat stat = platform::StatFile(path, false);
        if (!stat.isRegular) {
            continue;  // deleted or replaced by something else since
        }
        m_versions[path] = Version{stat.size, stat.times.lastWriteNs};
        saved.push_back(std::move(path));
    }
    if (saved.empty()) {
        return;
    }
    ++m_handOvers;
    const size_t count = saved.size();
    if (!platform::PostMessage(
            m_notifyWindow,
            platform::Message(WM_LOCALEDIT_FILE_CHANGE,
                              platform::MakePayload<std::vector<fs::path>>(std::move(saved))))) {
        LOGF(WARNING, "DirFileChangeMgr - %d saved files and no window to tell", count);
    }
}

std::map<fs::path, DirFileChangeMgr::Version> DirFileChangeMgr::ListFiles() const {
    std::map<fs::path, Version> files;
    std::vector<fs::path> pending{m_folder};
    while (!pending.empty()) {
        const fs::path dir = std::move(pending.back());
        pending.pop_back();
        platform::DirectoryReader reader;
        if (!reader.Open(dir, false)) {
            continue;
        }
        platform::DirectoryReader::Entry entry;
        while (reader.Next(entry)) {
            if (entry.type == platform::DirectoryReader::EntryType::kDirectory) {
                pending.push_back(dir / entry.name);
            } else if (entry.type == platform::DirectoryReader::EntryType::kFile &&
                       !m_patterns.Matches(entry.name)) {
                const platform::FileStat stat = reader.StatEntry(entry.name);
                if (stat.isRegular) {
                    files[dir / entry.name] = Version{stat.size, stat.times.lastWriteNs};
                }
            }
        }
    }
    return files;
}
