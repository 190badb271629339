#include "localedit/DirFileChangeHandler.h"

#include <algorithm>
#include <utility>

#include "core/Logging.h"

namespace fs = std::filesystem;

namespace {

bool Contains(const std::vector<fs::path>& list, const fs::path& path) {
    return std::find(list.begin(), list.end(), path) != list.end();
}

}  // namespace

void DirFileChangeHandler::fileadd(const fs::path& path) {
    VLOGF(1, "DirFileChangeHandler::fileadd] %s", path.string());
    if (!Contains(m_addedFiles, path)) {
        m_addedFiles.push_back(path);
    }
    m_lastPath = path;
}

void DirFileChangeHandler::modified(const fs::path& path) {
    VLOGF(1, "DirFileChangeHandler::modified] %s", path.string());
    if (!Contains(m_modifiedFiles, path)) {
        m_modifiedFiles.push_back(path);
    }
}

void DirFileChangeHandler::rename(const fs::path& oldPath, const fs::path& newPath) {
    VLOGF(1, "DirFileChangeHandler::rename] %s, new %s", oldPath.string(), newPath.string());
    if (!oldPath.empty() && oldPath != newPath) {
        removed(oldPath);
    }
    modified(newPath);
}

void DirFileChangeHandler::removed(const fs::path& path) {
    Forget(m_addedFiles, path);
    Forget(m_modifiedFiles, path);
}

std::vector<fs::path> DirFileChangeHandler::processEnd() {
    VLOG(1) << "DirFileChangeHandler::processEnd]";
    std::vector<fs::path> paths;
    if (m_active) {
        paths = m_modifiedFiles;
        for (const fs::path& path : m_addedFiles) {
            if (!Contains(m_modifiedFiles, path)) {
                paths.push_back(path);
            }
        }
    }
    m_addedFiles.clear();
    m_modifiedFiles.clear();
    m_lastPath.clear();
    return paths;
}

void DirFileChangeHandler::Forget(std::vector<fs::path>& list, const fs::path& path) {
    list.erase(std::remove(list.begin(), list.end(), path), list.end());
}
