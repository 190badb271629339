#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>

namespace platform {

// A file written at absolute offsets, mostly from front to back, whose pages are sent to the
// disk soon after they are written and then leave the page cache. A long stream of writes so
// keeps reusing a few megabytes of memory instead of taking new pages for every byte, which
// costs far more than the copy itself where freed memory goes back to the machine's host, and
// what was written is on the disk a few megabytes behind the writer.
//
// Write only copies into the page cache; SendBehind does the disk work for the windows that
// writes have finished, so that a caller can run it when nobody waits (the two may run on
// different threads). A write-back the kernel reports as failed makes the next Write fail,
// so a caller does not keep counting bytes on a disk that refuses them.
class WriteBehindFile {
public:
    // Writes are sent to the disk in windows of this size; a window leaves memory once the
    // writer is a window past it.
    static constexpr int64_t kWindow = 4 << 20;

    WriteBehindFile() = default;
    ~WriteBehindFile();
    WriteBehindFile(const WriteBehindFile&) = delete;
    WriteBehindFile& operator=(const WriteBehindFile&) = delete;

    // Opens the file for writing, creating it when missing, and cuts it after `keep` bytes.
    bool Open(const std::filesystem::path& path, int64_t keep);

    // Writes all of `data` at `offset`.
    bool Write(int64_t offset, const void* data, size_t size);
    // Starts sending the windows that writes have finished, and waits for and drops from
    // memory the windows before them. Cheap when no window was finished since the last call.
    void SendBehind();
    // The error number of the last failed call.
    int LastError() const;

private:
    int m_fd = -1;
    mutable std::mutex m_mutex;
    int m_lastError = 0;
    int64_t m_finished = 0;  // windows [0, m_finished) have been written to their end
    int64_t m_sent = 0;      // windows [0, m_sent) are being sent, or were
    int64_t m_dropped = 0;   // windows [0, m_dropped) are on the disk and out of memory
    bool m_failed = false;   // a write-back failed: every later Write fails
};

}  // namespace platform
