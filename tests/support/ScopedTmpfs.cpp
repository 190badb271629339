#include "support/ScopedTmpfs.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace fs = std::filesystem;

namespace zorp::test {

ScopedTmpfs::ScopedTmpfs(fs::path mountPoint, uint64_t bytes) : m_mountPoint(std::move(mountPoint)) {
    std::error_code ec;
    fs::create_directories(m_mountPoint, ec);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", m_mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        m_error = "cannot mount a tmpfs on " + m_mountPoint.string() + ": " + std::strerror(errno) +
                  (geteuid() != 0 ? " (not root)" : "");
        return;
    }
    m_mounted = true;
}

ScopedTmpfs::~ScopedTmpfs() {
    if (m_mounted) {
        ::umount2(m_mountPoint.c_str(), MNT_DETACH);
    }
}

uint64_t ScopedTmpfs::Fill(uint64_t leave, const std::string& name) {
    const fs::path path = m_mountPoint / name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0) {
        return 0;
    }
    static const std::string block(4096, 'f');
    uint64_t written = 0;
    for (;;) {
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n <= 0) {
            break;
        }
        written += static_cast<uint64_t>(n);
    }
    if (leave > 0) {
        written = written > leave ? written - leave : 0;
        if (::ftruncate(fd, static_cast<off_t>(written)) != 0) {
            written = 0;
        }
    }
    ::close(fd);
    return written;
}

void ScopedTmpfs::Unfill(const std::string& name) {
    std::error_code ec;
    fs::remove(m_mountPoint / name, ec);
}

uint64_t ScopedTmpfs::FreeBytes() const {
    struct statvfs st {};
    if (::statvfs(m_mountPoint.c_str(), &st) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

}  // namespace zorp::test
