#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace platform {

namespace {

FileStat FromStatx(const struct statx& sx) {
    FileStat st;
    st.exists = true;
    st.isDirectory = S_ISDIR(sx.stx_mode);
    st.isRegular = S_ISREG(sx.stx_mode);
    st.isSymlink = S_ISLNK(sx.stx_mode);
    st.size = sx.stx_size;
    st.times.lastWrite = sx.stx_mtime.tv_sec;
    st.times.lastWriteNs =
        static_cast<int64_t>(sx.stx_mtime.tv_sec) * 1000000000 + sx.stx_mtime.tv_nsec;
    if (sx.stx_mask & STATX_BTIME) {
        st.times.creation = sx.stx_btime.tv_sec;
        st.times.creationIsBirth = true;
    } else {
        // No birth time on this filesystem: the status change time is the closest stand-in.
        st.times.creation = sx.stx_ctime.tv_sec;
    }
    return st;
}

}  // namespace

FileStat StatFileAt(int dirFd, const char* name, bool followLinks) {
    struct statx sx {};
    int flags = AT_STATX_SYNC_AS_STAT | (followLinks ? 0 : AT_SYMLINK_NOFOLLOW);
    if (!name || name[0] == '\0' ||
        ::statx(dirFd, name, flags,
                STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_CTIME | STATX_BTIME,
                &sx) != 0) {
        return FileStat{};
    }
    return FromStatx(sx);
}

FileStat StatFile(const std::filesystem::path& path, bool followLinks) {
    return StatFileAt(AT_FDCWD, path.c_str(), followLinks);
}

std::optional<FileTimes> GetFileTimes(const std::filesystem::path& path, bool followLinks) {
    FileStat st = StatFile(path, followLinks);
    if (!st.exists) {
        return std::nullopt;
    }
    return st.times;
}

std::optional<uint64_t> FreeDiskSpace(const std::filesystem::path& path) {
    struct statvfs vfs {};
    if (path.empty() || ::statvfs(path.c_str(), &vfs) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
}

std::optional<uint64_t> FileSystemId(const std::filesystem::path& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(st.st_dev);
}

std::vector<std::filesystem::path> LocalFilesystemMounts() {
    static const std::set<std::string> kLocalTypes = {
        "ext2", "ext3", "ext4", "xfs", "btrfs", "f2fs", "jfs", "reiserfs", "zfs", "bcachefs",
        "vfat", "exfat", "ntfs", "ntfs3", "fuseblk", "overlay", "hfsplus"};
    std::vector<std::filesystem::path> mounts;
    std::ifstream in("/proc/self/mounts");
    std::string line;
    std::set<std::string> seen;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint, type;
        if (!(fields >> device >> mountPoint >> type)) {
            continue;
        }
        if (!kLocalTypes.count(type)) {
            continue;
        }
        // /proc/self/mounts escapes blanks as octal sequences.
        std::string decoded;
        for (size_t i = 0; i < mountPoint.size(); ++i) {
            if (mountPoint[i] == '\\' && i + 3 < mountPoint.size()) {
                int value = 0;
                if (std::sscanf(mountPoint.c_str() + i + 1, "%3o", &value) == 1) {
                    decoded.push_back(static_cast<char>(value));
                    i += 3;
                    continue;
                }
            }
            decoded.push_back(mountPoint[i]);
        }
        if (seen.insert(decoded).second) {
            mounts.emplace_back(decoded);
        }
    }
    return mounts;
}

bool IsWritableDir(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    return ::access(path.c_str(), W_OK | X_OK) == 0;
}

}  // namespace platform
