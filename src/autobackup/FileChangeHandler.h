#pragma once

#include <filesystem>
#include <vector>

// Folds what the backup folder monitor saw in one tree between two hand-overs: files added and
// files written, each once, in the order they first changed. A file saved five times is one
// entry; a file renamed away before the hand-over is forgotten.
class FileChangeHandler {
public:
    void fileadd(const std::filesystem::path& path);
    void modified(const std::filesystem::path& path);
    // The path went away under its old name (the first half of a rename).
    void forget(const std::filesystem::path& path);
    // The end of a quiet period: every added and written file, once each, and the handler is
    // empty again.
    std::vector<std::filesystem::path> processEnd();
    bool empty() const { return m_added.empty() && m_modified.empty(); }

private:
    static bool IsIconFile(const std::filesystem::path& path);

    std::vector<std::filesystem::path> m_added;
    std::vector<std::filesystem::path> m_modified;
    std::filesystem::path m_lastAdded;
    std::filesystem::path m_lastModified;
};
