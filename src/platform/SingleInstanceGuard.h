#pragma once

#include <filesystem>
#include <string>

namespace platform {

// One running copy per user: an exclusive flock on "zorp.lock" in the user's runtime folder,
// held for the whole run and dropped by the kernel when the process ends, however it ends.
class SingleInstanceGuard {
public:
    enum class Result {
        kAcquired,        // this is the only copy
        kAlreadyRunning,  // another process of this user holds the lock
        kFailed,          // no safe place for the lock file, or it could not be opened
    };

    explicit SingleInstanceGuard(std::string lockFileName = "zorp.lock");
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    Result Acquire();
    void Release();
    bool IsHeld() const { return m_fd >= 0; }
    const std::filesystem::path& LockPath() const { return m_lockPath; }
    const std::string& GetError() const { return m_error; }

    // The folder for the lock: $XDG_RUNTIME_DIR when it is a folder owned by the user and
    // closed to others; otherwise `fallbackBase`/zorp-<uid>, created with mode 0700 and
    // refused unless it is a real folder (no symbolic link) owned by the user and closed to
    // others. Empty (and `error` set) when neither is safe.
    static std::filesystem::path ResolveLockDir(const std::string& xdgRuntimeDir,
                                                const std::filesystem::path& fallbackBase,
                                                std::string* error);

private:
    std::string m_lockFileName;
    std::filesystem::path m_lockPath;
    std::string m_error;
    int m_fd = -1;
};

}  // namespace platform
