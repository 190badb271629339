#include "platform/FolderWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/SystemInfo.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

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
    m_table = std::make_unique<FolderWatchTable>(m_options.maxWatches);
    const bool haveInotify = m_table->Open() >= 0;
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
    m_table.reset();
    m_held.clear();
    m_needResync = false;
    m_needRescan = false;
    m_nextRetryMs = 0;
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

bool FolderWatcher::AddFolder(const fs::path& folder) {
    auto command = std::make_shared<Command>();
    command->kind = Command::Kind::kAdd;
    command->folder = Normal(folder);
    return RunCommand(command) && command->result;
}

void FolderWatcher::RemoveFolder(const fs::path& folder) {
    auto command = std::make_shared<Command>();
    command->kind = Command::Kind::kRemove;
    command->folder = Normal(folder);
    RunCommand(command);
}

bool FolderWatcher::RunCommand(const std::shared_ptr<Command>& command) {
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
    return true;
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
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {m_table->Handle(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, PollTimeout());
        if (m_stopping) {
            break;
        }
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint64_t value = 0;
            [[maybe_unused]] ssize_t got = ::read(m_wakeFd, &value, sizeof(value));
            RunCommands();
        }
        if (ready > 0 && fds[1].fd >= 0 && (fds[1].revents & POLLIN)) {
            if (m_options.beforeRead) {
                m_options.beforeRead();
            }
            ReadEvents();
        }
        if (m_needResync) {
            m_needResync = false;
            m_table->Resync();
            m_needRescan = true;
        }
        if (m_table->UnwatchedCount() == 0) {
            m_nextRetryMs = 0;
        } else if (m_options.retryMs > 0) {
            const uint64_t now = TickCountMs();
            if (m_nextRetryMs == 0) {
                m_nextRetryMs = now + m_options.retryMs;
            } else if (now >= m_nextRetryMs) {
                m_nextRetryMs = now + m_options.retryMs;
                // Changes in the folder until now were seen by nobody; those of a folder that
                // still cannot be watched are found by comparing at every try.
                m_needRescan = m_table->RetryUnwatched() || m_needRescan;
            }
        }
        m_needRescan = m_table->TakeRescanNeeded() || m_needRescan;
        Publish();
        UpdateStats();
    }
}

void FolderWatcher::UpdateStats() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stats.watches = m_table->WatchCount();
    m_stats.unwatched = m_table->UnwatchedCount();
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
    if (m_table->UnwatchedCount() > 0 && m_options.retryMs > 0) {
        // Not armed yet: the loop arms it at once.
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
            command->result = m_table->AddRoot(command->folder);
        } else {
            m_table->RemoveRoot(command->folder);
        }
        UpdateStats();
        command->done.Set();
    }
}

void FolderWatcher::ReadEvents() {
    alignas(inotify_event) char buffer[kReadBufferSize];
    for (;;) {
        const ssize_t length = ::read(m_table->Handle(), buffer, sizeof(buffer));
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
    const std::optional<fs::path> folder = m_table->PathOf(wd);
    if (!folder) {
        return;  // a watch already forgotten (removed by us, or its folder went)
    }
    if (mask & IN_IGNORED) {
        // The folder was deleted (its entry in the parent was reported) or its filesystem
        // went away.
        m_table->Ended(wd);
        return;
    }
    if (mask & IN_MOVE_SELF) {
        // A folder below a root is reported by its parent.
        if (m_table->IsRoot(*folder)) {
            m_table->RootMoved(*folder);
        }
        return;
    }
    if (name[0] == '\0') {
        return;
    }
    const fs::path path = *folder / name;
    const bool isDirectory = (mask & IN_ISDIR) != 0;
    const auto hold = [this](FolderChange change) { Hold(std::move(change)); };
    if (mask & IN_CREATE) {
        Hold({path, FolderAction::kAdded, isDirectory});
        if (isDirectory) {
            m_table->AddTree(path, hold);
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
                m_table->RenameTree(from, path);
            }
        } else {
            Hold({path, FolderAction::kAdded, isDirectory});
            if (isDirectory) {
                m_table->AddTree(path, hold);
            }
        }
    }
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
                m_table->DropTree(held.change.path, false);
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
