#include "platform/PlaceholderWatchedFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <system_error>
#include <vector>

#include "platform/PasteTargetFinder.h"

namespace fs = std::filesystem;

namespace platform {

namespace {
// How long, and how often, the readers are looked at after an open.
constexpr int kLookTries = 40;
constexpr auto kLookPause = std::chrono::milliseconds(5);
}  // namespace

PlaceholderWatchedFile::PlaceholderWatchedFile(PlaceholderReadRule& rule, std::string fileName,
                                               PasteHandler onPaste, NoTargetHandler onNoTarget)
    : m_rule(rule),
      m_fileName(std::move(fileName)),
      m_onPaste(std::move(onPaste)),
      m_onNoTarget(std::move(onNoTarget)) {}

PlaceholderWatchedFile::~PlaceholderWatchedFile() { Stop(); }

bool PlaceholderWatchedFile::Rewrite() {
    const fs::path file = m_folder / m_fileName;
    const fs::path temp = m_folder / ("." + m_fileName + ".new");
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << m_rule.Content();
        if (!out.flush()) {
            return false;
        }
    }
    std::error_code ec;
    fs::permissions(temp, fs::perms::owner_read | fs::perms::owner_write, ec);
    fs::rename(temp, file, ec);
    if (ec) {
        return false;
    }
    // The watch follows the inode, which the rename replaced.
    if (m_inotify >= 0) {
        inotify_add_watch(m_inotify, file.c_str(), IN_OPEN);
    }
    return true;
}

void PlaceholderWatchedFile::Empty() {
    std::error_code ec;
    fs::resize_file(m_folder / m_fileName, 0, ec);
}

bool PlaceholderWatchedFile::Start(const fs::path& folder, std::string* error) {
    m_folder = folder;
    m_inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_inotify < 0 || m_wake < 0) {
        *error = "no inotify instance for the placeholder";
        Stop();
        return false;
    }
    {
        std::ofstream out(folder / m_fileName, std::ios::binary | std::ios::trunc);
    }
    if (inotify_add_watch(m_inotify, (folder / m_fileName).c_str(), IN_OPEN) < 0) {
        *error = "the placeholder cannot be watched";
        Stop();
        return false;
    }
    m_stop = false;
    m_thread = std::thread(&PlaceholderWatchedFile::Run, this);
    return true;
}

void PlaceholderWatchedFile::Stop() {
    m_stop = true;
    if (m_wake >= 0) {
        const uint64_t one = 1;
        (void)!::write(m_wake, &one, sizeof(one));
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (int* fd : {&m_inotify, &m_wake}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void PlaceholderWatchedFile::Run() {
    alignas(inotify_event) char buffer[4096];
    while (!m_stop) {
        pollfd fds[2] = {{m_inotify, POLLIN, 0}, {m_wake, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (m_stop) {
            break;
        }
        bool opened = false;
        ssize_t length;
        while ((length = ::read(m_inotify, buffer, sizeof(buffer))) > 0) {
            for (char* p = buffer; p < buffer + length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                opened = opened || (event->mask & IN_OPEN);
                p += sizeof(inotify_event) + event->len;
            }
        }
        if (opened) {
            OnOpened();
        }
    }
}

void PlaceholderWatchedFile::OnOpened() {
    if (!m_rule.IsArmed()) {
        return;
    }
    const fs::path file = m_folder / m_fileName;
    int64_t reader = -1;
    for (int attempt = 0; attempt < kLookTries && !m_stop; ++attempt) {
        // The readers first, by any copy they write; then, since a reader may already be done
        // while the process that made the copy still holds it, everyone by a fresh copy of
        // the placeholder's name and text.
        std::vector<int64_t> readers = PasteTargetFinder::ProcessesWithOpen(file);
        if (reader < 0 && !readers.empty()) {
            reader = readers.front();
        }
        std::vector<int64_t> others = PasteTargetFinder::OtherProcesses();
        fs::path target;
        int64_t found = -1;
        for (int round = 0; round < 2 && found < 0; ++round) {
            const std::string* copyOf = round == 1 ? &m_rule.Content() : nullptr;
            for (int64_t pid : round == 0 ? readers : others) {
                if (auto folder = PasteTargetFinder::FindTarget(pid, m_fileName, m_folder, copyOf)) {
                    target = *folder;
                    found = pid;
                    break;
                }
            }
        }
        if (found >= 0) {
            // The handle stands for the writer: its one look decides.
            const auto answer =
                m_rule.Read(static_cast<uint64_t>(found), 0, 1, [] { return true; });
            m_rule.Release(static_cast<uint64_t>(found));
            if (answer.paste) {
                Empty();
                if (m_onPaste) {
                    m_onPaste(target);
                }
            }
            return;
        }
        std::this_thread::sleep_for(kLookPause);
    }
    if (!m_stop && m_onNoTarget) {
        m_onNoTarget(reader);
    }
}

}  // namespace platform
