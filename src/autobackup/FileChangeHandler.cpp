#include "autobackup/FileChangeHandler.h"

#include <algorithm>

#include "autobackup/BackupTreeWalk.h"
#include "core/Logging.h"

namespace fs = std::filesystem;

bool FileChangeHandler::IsIconFile(const fs::path& path) {
    return BackupTreeWalk::IsExcluded(path.filename().string());
}

void FileChangeHandler::fileadd(const fs::path& path) {
    VLOGF(1, "FileChangeHandler::fileadd] %s", path.string());
    if (IsIconFile(path)) {
        return;
    }
    if (std::find(m_added.begin(), m_added.end(), path) == m_added.end()) {
        m_added.push_back(path);
    }
    m_lastAdded = path;
}

void FileChangeHandler::modified(const fs::path& path) {
    VLOGF(1, "FileChangeHandler::modified] %s", path.string());
    if (IsIconFile(path)) {
        return;
    }
    // The same file written again and again (an editor's saves, a copy in blocks) is one
    // entry; the last path is checked first because that is the common case.
    if (path == m_lastModified ||
        std::find(m_modified.begin(), m_modified.end(), path) != m_modified.end()) {
        m_lastModified = path;
        return;
    }
    m_modified.push_back(path);
    m_lastModified = path;
}

void FileChangeHandler::forget(const fs::path& path) {
    if (auto it = std::find(m_added.begin(), m_added.end(), path); it != m_added.end()) {
        m_added.erase(it);
    }
    if (auto it = std::find(m_modified.begin(), m_modified.end(), path); it != m_modified.end()) {
        m_modified.erase(it);
    }
    if (m_lastAdded == path) {
        m_lastAdded.clear();
    }
    if (m_lastModified == path) {
        m_lastModified.clear();
    }
}

std::vector<fs::path> FileChangeHandler::processEnd() {
    VLOG(1) << "FileChangeHandler::processEnd]";
    std::vector<fs::path> files = std::move(m_modified);
    for (fs::path& path : m_added) {
        if (std::find(files.begin(), files.end(), path) == files.end()) {
            files.push_back(std::move(path));
        }
    }
    m_added.clear();
    m_modified.clear();
    m_lastAdded.clear();
    m_lastModified.clear();
    return files;
}
