#include "platform/WriteBehindFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {

WriteBehindFile::~WriteBehindFile() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool WriteBehindFile::Open(const std::filesystem::path& path, int64_t keep) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0 || keep < 0) {
        m_lastError = EINVAL;
        return false;
    }
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        m_lastError = errno;
        return false;
    }
    if (::ftruncate(m_fd, static_cast<off_t>(keep)) != 0) {
        m_lastError = errno;
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    // What is kept was written before and is left to the kernel.
    m_finished = m_sent = m_dropped = keep / kWindow;
    return true;
}

int WriteBehindFile::LastError() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastError;
}

bool WriteBehindFile::Write(int64_t offset, const void* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_fd < 0 || offset < 0 || m_failed) {
            m_lastError = m_failed ? m_lastError : EBADF;
            return false;
        }
    }
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(m_fd, bytes + done, size - done,
                                   static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lastError = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finished = std::max(m_finished, (offset + static_cast<int64_t>(size)) / kWindow);
    return true;
}

void WriteBehindFile::SendBehind() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0 || m_failed || m_finished == m_sent) {
        return;
    }
    // Start sending the finished windows; then wait for those sent a window's worth of
    // writes ago (normally on the disk by now) and drop them from memory.
    if (::sync_file_range(m_fd, m_sent * kWindow, (m_finished - m_sent) * kWindow,
                          SYNC_FILE_RANGE_WRITE) != 0) {
        m_lastError = errno;
        m_failed = true;
        return;
    }
    m_sent = m_finished;
    const int64_t dropTo = m_sent - 1;
    if (dropTo <= m_dropped) {
        return;
    }
    const off_t from = m_dropped * kWindow;
    const off_t length = (dropTo - m_dropped) * kWindow;
    if (::sync_file_range(m_fd, from, length,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
        m_lastError = errno;
        m_failed = true;
        return;
    }
    ::posix_fadvise(m_fd, from, length, POSIX_FADV_DONTNEED);
    m_dropped = dropTo;
}

}  // namespace platform
