#include "platform/FolderWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/DirectoryReader.h"
#include "platform/FileSystem.h"
#include "platform/SystemInfo.h"

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

// Room for a few hundred events per read; one event is at most the record and a name of
// NAME_MAX bytes.
constexpr size_t kReadBufferSize = 64 * 1024;

// The path without a trailing separator and without "." or ".." parts, so that the same folder
// always has the same key.
fs::path Normal(const fs::path& path) {
    fs::path normal = path.lexically_normal();
    if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path()) {
        normal = normal.parent_path();
    }
    return normal;
}

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

struct FolderWatcher::Command {
    enum class Kind { kAdd, kRemove };
    Kind kind = Kind::kAdd;
    fs::path folder;
    Event done{true, false};
    bool result = false;
};

FolderWatcher::FolderWatcher(Options options) : m_options(options) {}

FolderWatcher::~FolderWatcher() { Stop(); }

bool FolderWatcher::Start() {
    if (m_thread.joinable()) {
        return true;
    }
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const bool haveInotify = m_fd >= 0;
    m_stopping = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = true;
    }
    m_thread = std::thread(&FolderWatcher::ThreadMain, this);
    return haveInotify;
}

void FolderWatcher::Stop() {
    if (!m_thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        m_stopping = true;
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
    }
    m_thread.join();
    CloseHandles();
    std::deque<std::shared_ptr<Command>> unanswered;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        unanswered.swap(m_commands);
        m_queue.clear();
        m_rescan = false;
        m_stats.watches = 0;
        m_stats.unwatched = 0;
        if (m_wakeFd >= 0) {
            ::close(m_wakeFd);
            m_wakeFd = -1;
        }
    }
    for (const auto& command : unanswered) {
        command->done.Set();
    }
}

void FolderWatcher::CloseHandles() {
    if (m_fd >= 0) {
        ::close(m_fd);  // the kernel drops every watch of the instance with it
        m_fd = -1;
    }
    m_paths.clear();
    m_watches.clear();
    m_roots.clear();
    m_unwatched.clear();
    m_held.clear();
    m_needResync = false;
    m_needRescan = false;
}

bool FolderWatcher::AddFolder(const fs::path& folder) {
    auto command = std::make_shared<Command>();
    command->kind = Command::Kind::kAdd;
    command->folder = Normal(folder);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running) {
            return false;
        }
        m_commands.push_back(command);
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
    }
    command->done.Wait();
    return command->result;
}

void FolderWatcher::RemoveFolder(const fs::path& folder) {
    auto command = std::make_shared<Command>();
    command->kind = Command::Kind::kRemove;
    command->folder = Normal(folder);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running) {
            return;
        }
        m_commands.push_back(command);
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
    }
    command->done.Wait();
}

FolderWatcher::Batch FolderWatcher::TakeChanges() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Batch batch;
    batch.changes.swap(m_queue);
    batch.rescan = std::exchange(m_rescan, false);
    if (batch.rescan) {
        ++m_stats.rescans;
    }
    return batch;
}

FolderWatcher::Stats FolderWatcher::GetStats() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

void FolderWatcher::ThreadMain() {
    while (!m_stopping) {
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {m_fd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, PollTimeout());
        if (m_stopping) {
            break;
        }
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint64_t value = 0;
            [[maybe_unused]] ssize_t got = ::read(m_wakeFd, &value, sizeof(value));
            RunCommands();
        }
        if (ready > 0 && m_fd >= 0 && (fds[1].revents & POLLIN)) {
            if (m_options.beforeRead) {
                m_options.beforeRead();
            }
            ReadEvents();
        }
        if (m_needResync) {
            m_needResync = false;
            Resync();
        }
        if (!m_unwatched.empty() && m_options.retryMs > 0 && TickCountMs() >= m_nextRetryMs) {
            RetryUnwatched();
        }
        Publish();
        UpdateStats();
    }
}

void FolderWatcher::UpdateStats() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stats.watches = m_paths.size();
    m_stats.unwatched = m_unwatched.size();
}

int FolderWatcher::PollTimeout() const {
    const uint64_t now = TickCountMs();
    int64_t wait = -1;
    for (const Held& held : m_held) {
        if (held.waiting) {
            wait = held.deadlineMs > now ? static_cast<int64_t>(held.deadlineMs - now) : 0;
            break;  // deadlines grow along the list: the first one waiting ends first
        }
    }
    if (!m_unwatched.empty() && m_options.retryMs > 0) {
        const int64_t retry =
            m_nextRetryMs > now ? static_cast<int64_t>(m_nextRetryMs - now) : 0;
        wait = wait < 0 ? retry : std::min(wait, retry);
    }
    return static_cast<int>(std::min<int64_t>(wait, 1 << 30));
}

void FolderWatcher::RunCommands() {
    for (;;) {
        std::shared_ptr<Command> command;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_commands.empty()) {
                return;
            }
            command = m_commands.front();
            m_commands.pop_front();
        }
        if (command->kind == Command::Kind::kAdd) {
            m_roots.insert(command->folder);
            AddTree(command->folder, false);
            command->result = m_watches.count(command->folder) > 0;
            if (!command->result) {
                // A folder that is not there yet is tried again like one that could not be
                // watched: it may be made later.
                MarkUnwatched(command->folder);
            }
        } else {
            m_roots.erase(command->folder);
            DropTree(command->folder, true);
        }
        UpdateStats();
        command->done.Set();
    }
}

void FolderWatcher::ReadEvents() {
    alignas(inotify_event) char buffer[kReadBufferSize];
    for (;;) {
        const ssize_t length = ::read(m_fd, buffer, sizeof(buffer));
        if (length <= 0) {
            return;  // EAGAIN: all read (EINTR: the next poll comes back at once)
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            HandleEvent(event->wd, event->mask, event->cookie, event->len ? event->name : "");
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void FolderWatcher::HandleEvent(int wd, uint32_t mask, uint32_t cookie, const char* name) {
    if (mask & IN_Q_OVERFLOW) {
        m_needResync = true;
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_stats.kernelOverflows;
        return;
    }
    const auto found = m_paths.find(wd);
    if (found == m_paths.end()) {
        return;  // a watch already forgotten (removed by us, or its folder went)
    }
    const fs::path folder = found->second;
    if (mask & IN_IGNORED) {
        // The folder was deleted (its entry in the parent was reported) or its filesystem
        // went away. A watched root comes back when a folder of that name appears again.
        ForgetWatch(wd);
        if (m_roots.count(folder)) {
            MarkUnwatched(folder);
        }
        return;
    }
    if (mask & IN_MOVE_SELF) {
        // A folder below a root is reported by its parent; a root that moved is no longer
        // where its watches say.
        if (m_roots.count(folder)) {
            DropTree(folder, false);
            MarkUnwatched(folder);
        }
        return;
    }
    if (name[0] == '\0') {
        return;
    }
    const fs::path path = folder / name;
    const bool isDirectory = (mask & IN_ISDIR) != 0;
    if (mask & IN_CREATE) {
        Hold({path, FolderAction::kAdded, isDirectory});
        if (isDirectory) {
            AddTree(path, true);
        }
    } else if (mask & IN_DELETE) {
        Hold({path, FolderAction::kRemoved, isDirectory});
    } else if (mask & IN_CLOSE_WRITE) {
        Hold({path, FolderAction::kModified, false});
    } else if (mask & IN_MOVED_FROM) {
        Hold({path, FolderAction::kRenamedOldName, isDirectory}, cookie);
    } else if (mask & IN_MOVED_TO) {
        auto oldName = std::find_if(m_held.begin(), m_held.end(), [cookie](const Held& held) {
            return held.waiting && held.cookie == cookie;
        });
        if (oldName != m_held.end()) {
            oldName->waiting = false;
            const fs::path from = oldName->change.path;
            m_held.insert(oldName + 1, Held{{path, FolderAction::kRenamedNewName, isDirectory}});
            if (isDirectory) {
                RenameTree(from, path);
            }
        } else {
            Hold({path, FolderAction::kAdded, isDirectory});
            if (isDirectory) {
                AddTree(path, true);
            }
        }
    }
}

void FolderWatcher::AddTree(const fs::path& folder, bool report) {
    std::vector<fs::path> pending{folder};
    while (!pending.empty()) {
        fs::path dir = std::move(pending.back());
        pending.pop_back();
        if (AddWatch(dir) < 0) {
            const int error = errno;
            if (!IsGone(error)) {
                MarkUnwatched(dir);
            }
            continue;
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
            if (report) {
                Hold({path, FolderAction::kAdded, isDirectory});
            }
            if (isDirectory) {
                pending.push_back(std::move(path));
            }
        }
    }
}

int FolderWatcher::AddWatch(const fs::path& folder) {
    if (m_fd < 0) {
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0) {
            return -1;
        }
    }
    if (m_options.maxWatches > 0 && !m_watches.count(folder) &&
        m_watches.size() >= m_options.maxWatches) {
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

void FolderWatcher::ForgetWatch(int wd) {
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

void FolderWatcher::DropTree(const fs::path& folder, bool keepRooted) {
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
        ForgetWatch(wd);
    }
    for (auto it = m_unwatched.begin(); it != m_unwatched.end();) {
        it = drops(*it) ? m_unwatched.erase(it) : std::next(it);
    }
}

void FolderWatcher::RenameTree(const fs::path& from, const fs::path& to) {
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

void FolderWatcher::Resync() {
    // The kernel dropped events: folders may have appeared, gone or moved unseen. Every folder
    // of the trees is watched (again) under its present path, and watches of folders that are
    // no longer in the trees are removed.
    std::set<int> seen;
    for (const fs::path& root : m_roots) {
        std::vector<fs::path> pending{root};
        while (!pending.empty()) {
            fs::path dir = std::move(pending.back());
            pending.pop_back();
            const int wd = AddWatch(dir);
            if (wd < 0) {
                if (!IsGone(errno) || dir == root) {
                    MarkUnwatched(dir);
                }
                continue;
            }
            seen.insert(wd);
            m_unwatched.erase(dir);
            DirectoryReader reader;
            if (!reader.Open(dir, false)) {
                continue;
            }
            DirectoryReader::Entry entry;
            while (reader.Next(entry)) {
                if (entry.type == DirectoryReader::EntryType::kDirectory) {
                    pending.push_back(dir / entry.name);
                }
            }
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
        ForgetWatch(wd);
    }
    m_needRescan = true;
}

void FolderWatcher::RetryUnwatched() {
    m_nextRetryMs = TickCountMs() + m_options.retryMs;
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
        AddTree(folder, false);  // puts back what still cannot be watched
    }
    if (present) {
        // Changes in the folder until now were seen by nobody; those of a folder that still
        // cannot be watched are found by comparing at every try.
        m_needRescan = true;
    }
}

void FolderWatcher::MarkUnwatched(const fs::path& folder) {
    if (m_unwatched.empty()) {
        m_nextRetryMs = TickCountMs() + m_options.retryMs;
    }
    m_unwatched.insert(folder);
    if (StatFile(folder, false).isDirectory) {
        m_needRescan = true;
    }
}

bool FolderWatcher::UnderRoot(const fs::path& path) const {
    return std::any_of(m_roots.begin(), m_roots.end(),
                       [&path](const fs::path& root) { return IsUnder(path, root); });
}

void FolderWatcher::Hold(FolderChange change, uint32_t cookie) {
    Held held;
    held.change = std::move(change);
    held.cookie = cookie;
    held.waiting = held.change.action == FolderAction::kRenamedOldName;
    held.deadlineMs = TickCountMs() + m_options.renamePairingMs;
    m_held.push_back(std::move(held));
}

void FolderWatcher::Publish() {
    std::vector<FolderChange> out;
    const uint64_t now = TickCountMs();
    while (!m_held.empty()) {
        Held& held = m_held.front();
        if (held.waiting) {
            if (now < held.deadlineMs) {
                break;
            }
            // The new name never came: the entry was moved out of the watched folders.
            held.waiting = false;
            held.change.action = FolderAction::kRemoved;
            if (held.change.isDirectory) {
                DropTree(held.change.path, false);
            }
        }
        out.push_back(std::move(held.change));
        m_held.pop_front();
    }
    const bool rescan = std::exchange(m_needRescan, false);
    if (out.empty() && !rescan) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.size() + out.size() > m_options.queueLimit) {
            // The user is behind: what waits is dropped, the rescan finds it all.
            m_queue.clear();
            m_rescan = true;
            ++m_stats.queueOverflows;
        } else {
            m_queue.insert(m_queue.end(), std::make_move_iterator(out.begin()),
                           std::make_move_iterator(out.end()));
        }
        m_rescan = m_rescan || rescan;
    }
    m_ready.Set();
}

}  // namespace platform
