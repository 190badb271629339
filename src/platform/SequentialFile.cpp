#include "platform/SequentialFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

SequentialFile::~SequentialFile() { Close(); }

bool SequentialFile::Open(const std::filesystem::path& path) {
    Close();
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        m_lastError = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        m_lastError = S_ISDIR(st.st_mode) ? EISDIR : errno;
        Close();
        return false;
    }
    ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

void SequentialFile::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

int64_t SequentialFile::Size() const {
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool SequentialFile::Seek(int64_t offset) {
    if (m_fd < 0 || ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        m_lastError = errno;
        return false;
    }
    return true;
}

int64_t SequentialFile::Read(void* buffer, size_t length) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return -1;
    }
    size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < length) {
        ssize_t n = ::read(m_fd, out + done, length - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            m_lastError = errno;
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

SequentialFile::Version SequentialFile::CurrentVersion() const {
    struct stat st {};
    Version v;
    if (m_fd >= 0 && ::fstat(m_fd, &st) == 0) {
        v.size = static_cast<int64_t>(st.st_size);
        v.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    return v;
}

}  // namespace platform
