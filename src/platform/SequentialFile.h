#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace platform {

// A file opened for reading from front to back (the kernel is told so, which doubles its
// read-ahead). Reads go straight into the caller's buffer.
class SequentialFile {
public:
    SequentialFile() = default;
    ~SequentialFile();
    SequentialFile(const SequentialFile&) = delete;
    SequentialFile& operator=(const SequentialFile&) = delete;

    bool Open(const std::filesystem::path& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    // Size now, or -1 when it cannot be read.
    int64_t Size() const;
    bool Seek(int64_t offset);
    // Reads up to `length` bytes, retrying short reads until `length` or the end of the file.
    // Returns the bytes read (0 at the end), or -1 on an error.
    int64_t Read(void* buffer, size_t length);
    // The error number of the last failed call.
    int LastError() const { return m_lastError; }

    // Identity of the content: size and modification time in nanoseconds, for telling whether
    // the file changed between two moments.
    struct Version {
        int64_t size = -1;
        int64_t mtimeNs = 0;
        bool operator==(const Version&) const = default;
    };
    Version CurrentVersion() const;

private:
    int m_fd = -1;
    int m_lastError = 0;
};

}  // namespace platform
