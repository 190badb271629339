#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct FileTimes {
    int64_t creation = 0;   // seconds since 1970-01-01 UTC
    int64_t lastWrite = 0;  // seconds since 1970-01-01 UTC
    int64_t lastWriteNs = 0;  // the same moment in nanoseconds, for telling two writes apart
    bool creationIsBirth = false;  // false: the filesystem keeps no birth time, creation is ctime
};

// Birth time where the filesystem records one (statx), otherwise the status change time, and
// the modification time. Does not follow a final symbolic link when `followLinks` is false.
std::optional<FileTimes> GetFileTimes(const std::filesystem::path& path, bool followLinks = true);

// Size and times of a file with one stat call (the walk and the backup list need both).
struct FileStat {
    bool exists = false;
    bool isDirectory = false;
    bool isRegular = false;
    bool isSymlink = false;
    uint64_t size = 0;
    FileTimes times;
};
FileStat StatFile(const std::filesystem::path& path, bool followLinks = true);
// The same relative to an open directory descriptor of this layer (DirectoryReader): the
// directory's path is not resolved again for each entry.
FileStat StatFileAt(int dirFd, const char* name, bool followLinks);

// Bytes available to an unprivileged user on the filesystem holding `path`.
std::optional<uint64_t> FreeDiskSpace(const std::filesystem::path& path);

// The file system holding `path` (the device number): two paths with the same id can be
// renamed into each other. Nothing when the path cannot be looked at.
std::optional<uint64_t> FileSystemId(const std::filesystem::path& path);

// Mount points of local, disk-backed filesystems (no proc, sysfs, tmpfs, network mounts...).
std::vector<std::filesystem::path> LocalFilesystemMounts();

// Whether the calling user may create entries in the folder.
bool IsWritableDir(const std::filesystem::path& path);

}  // namespace platform
