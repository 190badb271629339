#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/PlaceholderReadRule.h"

struct fuse;

namespace platform {

// The FUSE file system that serves the clipboard placeholder: one read-only file in the mount
// folder, read without the page cache so that every read reaches the read rule. The requests
// are served on a thread of the mount's own; a read is held while the reader's copy is looked
// for, so the reader cannot have closed it yet.
class PlaceholderFuseMount {
public:
    using PasteHandler = std::function<void(const std::filesystem::path&)>;
    using NoTargetHandler = std::function<void(int64_t pid)>;

    PlaceholderFuseMount(PlaceholderReadRule& rule, std::string fileName, PasteHandler onPaste,
                         NoTargetHandler onNoTarget = {});
    ~PlaceholderFuseMount();

    // False (and nothing mounted) when the kernel or the user cannot mount.
    bool Mount(const std::filesystem::path& folder, std::string* error);
    void Unmount();

    // Takes a mount a crashed run left on `folder` off (its folder then answers "not
    // connected"). True when nothing is mounted there afterwards.
    static bool ClearStaleMount(const std::filesystem::path& folder);

    // The file system's requests, on the mount's thread.
    bool IsFile(const char* path) const;
    uint64_t OpenHandle() { return m_nextHandle++; }
    // Fills `buffer` and returns the bytes answered.
    size_t ReadFile(uint64_t handle, char* buffer, size_t size, off_t offset, pid_t reader);
    void ReleaseHandle(uint64_t handle) { m_rule.Release(handle); }
    size_t FileSize() const { return m_rule.Content().size(); }
    const std::string& FileName() const { return m_fileName; }

private:
    PlaceholderReadRule& m_rule;
    const std::string m_fileName;
    PasteHandler m_onPaste;
    NoTargetHandler m_onNoTarget;
    std::filesystem::path m_folder;
    struct fuse* m_fuse = nullptr;
    std::thread m_thread;
    uint64_t m_nextHandle = 1;
};

}  // namespace platform
