#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "platform/FileSystem.h"

namespace platform {

// The longest path the kernel takes in one call (PATH_MAX less the terminating zero). A file
// whose full path is longer can be listed but never opened by its path, so walks skip it.
inline constexpr size_t kMaxPathLength = 4095;

// Lists one directory: one open, then the kernel's entry records, whose type field usually
// makes a stat per entry unnecessary. Only entries the kernel reports without a type, and
// symbolic links (whose target decides what they are), cost one statx each, made relative to
// the open directory so that the path is not resolved again.
class DirectoryReader {
public:
    enum class EntryType {
        kFile,                // a regular file
        kDirectory,
        kSymlinkToFile,       // a symbolic link whose target is a regular file
        kSymlinkToDirectory,  // never followed by a walk: it may point at an ancestor
        kBrokenSymlink,       // a symbolic link whose target is missing or unreachable
        kOther,               // FIFO, socket, device: opening one for reading may block
    };
    struct Entry {
        std::string name;
        EntryType type = EntryType::kOther;
    };

    DirectoryReader() = default;
    ~DirectoryReader();
    DirectoryReader(const DirectoryReader&) = delete;
    DirectoryReader& operator=(const DirectoryReader&) = delete;

    // Opens the directory. With `followLink` false a symbolic link in the last component is
    // refused (the entry was a directory when it was listed and may have been swapped since).
    // On false, ErrorNumber() and ErrorText() say why.
    bool Open(const std::filesystem::path& dir, bool followLink = true);
    void Close();
    bool IsOpen() const { return m_dir != nullptr; }

    // The next entry other than "." and "..". False at the end of the directory or on a read
    // error (ErrorNumber() is 0 at a normal end).
    bool Next(Entry& entry);

    // Size and times of an entry of the open directory, with one statx relative to it.
    FileStat StatEntry(const std::string& name, bool followLinks = false) const;

    int ErrorNumber() const { return m_error; }
    std::string ErrorText() const;

private:
    EntryType TypeByStat(const char* name, bool isLink) const;

    void* m_dir = nullptr;  // the C library's DIR
    int m_fd = -1;
    int m_error = 0;
};

}  // namespace platform
