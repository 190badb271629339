#include "platform/SingleInstanceGuard.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/SystemInfo.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

// A folder we may keep a lock in: a real folder, ours, that nobody else can write to.
bool IsPrivateDir(const fs::path& dir, std::string* why) {
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        *why = dir.string() + ": " + ErrorText(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = dir.string() + " is not a folder";
        return false;
    }
    if (st.st_uid != geteuid()) {
        *why = dir.string() + " belongs to another user";
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *why = dir.string() + " can be written by other users";
        return false;
    }
    return true;
}

}  // namespace

SingleInstanceGuard::SingleInstanceGuard(std::string lockFileName)
    : m_lockFileName(std::move(lockFileName)) {}

SingleInstanceGuard::~SingleInstanceGuard() { Release(); }

fs::path SingleInstanceGuard::ResolveLockDir(const std::string& xdgRuntimeDir,
                                             const fs::path& fallbackBase, std::string* error) {
    std::string why;
    if (!xdgRuntimeDir.empty() && fs::path(xdgRuntimeDir).is_absolute() &&
        IsPrivateDir(xdgRuntimeDir, &why)) {
        return fs::path(xdgRuntimeDir);
    }
    fs::path fallback = fallbackBase / ("zorp-" + std::to_string(geteuid()));
    if (mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = fallback.string() + ": " + ErrorText(errno);
        return {};
    }
    // An existing folder may have been planted by someone else: check it before trusting it.
    if (!IsPrivateDir(fallback, &why)) {
        *error = why;
        return {};
    }
    return fallback;
}

SingleInstanceGuard::Result SingleInstanceGuard::Acquire() {
    if (m_fd >= 0) {
        return Result::kAcquired;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    fs::path dir = ResolveLockDir(runtime ? runtime : "", "/tmp", &m_error);
    if (dir.empty()) {
        return Result::kFailed;
    }
    m_lockPath = dir / m_lockFileName;
    // O_CLOEXEC: programs we start (file openers, helpers) must not inherit the lock and keep
    // a later copy from starting after we are gone.
    int fd = open(m_lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        m_error = m_lockPath.string() + ": " + ErrorText(errno);
        return Result::kFailed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        if (err == EWOULDBLOCK) {
            return Result::kAlreadyRunning;
        }
        m_error = m_lockPath.string() + ": " + ErrorText(err);
        return Result::kFailed;
    }
    // The holder's process id, for whoever wonders which copy runs.
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0) {
        ssize_t written = pwrite(fd, pid.data(), pid.size(), 0);
        (void)written;
    }
    m_fd = fd;
    return Result::kAcquired;
}

void SingleInstanceGuard::Release() {
    if (m_fd >= 0) {
        flock(m_fd, LOCK_UN);
        close(m_fd);
        m_fd = -1;
    }
}

}  // namespace platform
