#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zorp::test {

// A small memory file system mounted on a folder for the lifetime of the object (the tests
// that fill a disk need one they may fill), unmounted at the end whatever the test did
// meanwhile. Mounting needs root (or the capability); Error() says why it could not be done,
// and the test then skips.
class ScopedTmpfs {
public:
    ScopedTmpfs(std::filesystem::path mountPoint, uint64_t bytes);
    ~ScopedTmpfs();
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

    bool Mounted() const { return m_mounted; }
    const std::string& Error() const { return m_error; }
    const std::filesystem::path& Path() const { return m_mountPoint; }

    // Writes a filler file until the file system has no room left, then gives `leave` bytes
    // of it back; its size.
    uint64_t Fill(uint64_t leave = 0, const std::string& name = ".filler");
    // Removes the filler: the room is back.
    void Unfill(const std::string& name = ".filler");
    uint64_t FreeBytes() const;

private:
    std::filesystem::path m_mountPoint;
    bool m_mounted = false;
    std::string m_error;
};

}  // namespace zorp::test
