#pragma once

#include <filesystem>
#include <vector>

// What the local-edit folder watcher collected since its last hand-over; used on the watcher's
// thread only. Modified files are those written or renamed onto their name (the safe save of
// editors: a temporary file renamed over the original); added files were made or moved in
// whole. Each path is kept once, and a path that is renamed away or deleted is forgotten.
class DirFileChangeHandler {
public:
    void fileadd(const std::filesystem::path& path);
    void modified(const std::filesystem::path& path);
    // The new name counts as modified; the old one is gone.
    void rename(const std::filesystem::path& oldPath, const std::filesystem::path& newPath);
    void removed(const std::filesystem::path& path);

    // The end of a quiet period: the modified files, then the added files that were not
    // modified as well (a file moved in whole over the edited one is a save too), and the
    // lists start again empty. Nothing while the handler is not active.
    std::vector<std::filesystem::path> processEnd();

    bool IsEmpty() const { return m_addedFiles.empty() && m_modifiedFiles.empty(); }
    void SetActive(bool active) { m_active = active; }

private:
    static void Forget(std::vector<std::filesystem::path>& list, const std::filesystem::path& path);

    std::vector<std::filesystem::path> m_addedFiles;
    std::vector<std::filesystem::path> m_modifiedFiles;
    std::filesystem::path m_lastPath;
    bool m_active = true;
};
