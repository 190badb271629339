#include "platform/PasteTargetFinder.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace platform {

namespace {

// The access mode of an open file from /proc/<pid>/fdinfo/<fd> ("flags:\t0100001").
bool OpenForWriting(const fs::path& fdinfo) {
    std::ifstream in(fdinfo);
    std::string key;
    while (in >> key) {
        if (key == "flags:") {
            std::string octal;
            in >> octal;
            const long flags = std::strtol(octal.c_str(), nullptr, 8);
            const long mode = flags & O_ACCMODE;
            return mode == O_WRONLY || mode == O_RDWR;
        }
        std::string rest;
        std::getline(in, rest);
    }
    return false;
}

bool IsUnder(const fs::path& path, const fs::path& folder) {
    if (folder.empty()) {
        return false;
    }
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
        if (f->empty()) {
            continue;  // a trailing separator
        }
        if (p == path.end() || *p != *f) {
            return false;
        }
    }
    return true;
}

// A temporary name of a copy of `name` beside it: ".name.XXXX", "name.part", "name~" ...
bool IsCopyName(const std::string& candidate, const std::string& name) {
    if (candidate == name) {
        return true;
    }
    const auto at = candidate.find(name);
    return at != std::string::npos && at <= 1 && candidate.size() <= name.size() + 16;
}

// Written within the last few seconds.
bool IsFresh(const fs::path& file) {
    std::error_code ec;
    const auto written = fs::last_write_time(file, ec);
    return !ec && fs::file_time_type::clock::now() - written < std::chrono::seconds(5);
}

// Not empty, and the text's beginning: an empty file (a paste of a used-up copy) is no
// evidence of which copy it came from.
bool HoldsBeginningOf(const fs::path& file, const std::string& content) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec || size == 0 || size > content.size()) {
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    std::string held(static_cast<size_t>(size), '\0');
    in.read(held.data(), static_cast<std::streamsize>(held.size()));
    return in.gcount() == static_cast<std::streamsize>(held.size()) &&
           content.compare(0, held.size(), held) == 0;
}

}  // namespace

std::vector<PasteTargetFinder::OpenFile> PasteTargetFinder::OpenFiles(int64_t pid) {
    std::vector<OpenFile> files;
    const fs::path proc = fs::path("/proc") / std::to_string(pid);
    std::error_code ec;
    for (fs::directory_iterator it(proc / "fd", ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkError;
        fs::path target = fs::read_symlink(it->path(), linkError);
        if (linkError || !target.is_absolute()) {
            continue;  // pipes, sockets, anonymous inodes
        }
        std::string text = target.string();
        constexpr std::string_view kDeleted = " (deleted)";
        if (text.size() > kDeleted.size() &&
            text.compare(text.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
            continue;
        }
        files.push_back({std::move(target), OpenForWriting(proc / "fdinfo" / it->path().filename())});
    }
    return files;
}

std::optional<fs::path> PasteTargetFinder::ChooseTarget(const std::vector<OpenFile>& files,
                                                        const std::string& placeholderName,
                                                        const fs::path& ownFolder,
                                                        const std::string* copyOf) {
    std::optional<fs::path> named;
    std::vector<fs::path> small;
    for (const auto& file : files) {
        if (!file.forWriting || IsUnder(file.path, ownFolder) || IsUnder(file.path, "/proc") ||
            IsUnder(file.path, "/dev") || IsUnder(file.path, "/sys")) {
            continue;
        }
        if (IsCopyName(file.path.filename().string(), placeholderName)) {
            if (copyOf && !(IsFresh(file.path) && HoldsBeginningOf(file.path, *copyOf))) {
                continue;
            }
            if (!named || file.path.filename() == placeholderName) {
                named = file.path.parent_path();
            }
            continue;
        }
        if (copyOf) {
            continue;
        }
        std::error_code ec;
        const auto size = fs::file_size(file.path, ec);
        if (!ec && size <= 64 && IsFresh(file.path)) {
            small.push_back(file.path.parent_path());
        }
    }
    if (named) {
        return named;
    }
    if (small.size() == 1) {
        return small.front();
    }
    return std::nullopt;
}

std::optional<fs::path> PasteTargetFinder::FindTarget(int64_t pid, const std::string& placeholderName,
                                                      const fs::path& ownFolder,
                                                      const std::string* copyOf) {
    return ChooseTarget(OpenFiles(pid), placeholderName, ownFolder, copyOf);
}

std::vector<int64_t> PasteTargetFinder::OtherProcesses() {
    std::vector<int64_t> pids;
    const int64_t self = ::getpid();
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const int64_t pid = std::stoll(name);
        if (pid != self) {
            pids.push_back(pid);
        }
    }
    return pids;
}

std::vector<int64_t> PasteTargetFinder::ProcessesWithOpen(const fs::path& file) {
    std::vector<int64_t> pids;
    for (int64_t pid : OtherProcesses()) {
        for (const auto& open : OpenFiles(pid)) {
            if (open.path == file) {
                pids.push_back(pid);
                break;
            }
        }
    }
    return pids;
}

}  // namespace platform
