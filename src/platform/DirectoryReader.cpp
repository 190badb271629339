#include "platform/DirectoryReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/SystemInfo.h"

namespace platform {

namespace {

DIR* AsDir(void* dir) { return static_cast<DIR*>(dir); }

}  // namespace

DirectoryReader::~DirectoryReader() { Close(); }

bool DirectoryReader::Open(const std::filesystem::path& dir, bool followLink) {
    Close();
    m_error = 0;
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    m_fd = ::open(dir.c_str(), flags);
    if (m_fd < 0) {
        m_error = errno;
        return false;
    }
    DIR* stream = ::fdopendir(m_fd);
    if (!stream) {
        m_error = errno;
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_dir = stream;  // owns m_fd from here
    return true;
}

void DirectoryReader::Close() {
    if (m_dir) {
        ::closedir(AsDir(m_dir));
        m_dir = nullptr;
        m_fd = -1;
    }
}

bool DirectoryReader::Next(Entry& entry) {
    if (!m_dir) {
        return false;
    }
    for (;;) {
        errno = 0;
        const struct dirent* record = ::readdir(AsDir(m_dir));
        if (!record) {
            m_error = errno;
            return false;
        }
        const char* name = record->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        entry.name.assign(name);
        switch (record->d_type) {
            case DT_REG: entry.type = EntryType::kFile; break;
            case DT_DIR: entry.type = EntryType::kDirectory; break;
            case DT_LNK: entry.type = TypeByStat(name, true); break;
            case DT_UNKNOWN: entry.type = TypeByStat(name, false); break;
            default: entry.type = EntryType::kOther; break;
        }
        return true;
    }
}

DirectoryReader::EntryType DirectoryReader::TypeByStat(const char* name, bool isLink) const {
    FileStat own;
    if (!isLink) {
        own = StatEntry(name, false);
        if (!own.exists) {
            // Gone since it was listed: reported as a broken link would be, so it is skipped.
            return EntryType::kBrokenSymlink;
        }
        if (own.isRegular) {
            return EntryType::kFile;
        }
        if (own.isDirectory) {
            return EntryType::kDirectory;
        }
        if (!own.isSymlink) {
            return EntryType::kOther;
        }
    }
    FileStat target = StatEntry(name, true);
    if (!target.exists) {
        return EntryType::kBrokenSymlink;
    }
    if (target.isDirectory) {
        return EntryType::kSymlinkToDirectory;
    }
    return target.isRegular ? EntryType::kSymlinkToFile : EntryType::kOther;
}

FileStat DirectoryReader::StatEntry(const std::string& name, bool followLinks) const {
    return m_fd < 0 ? FileStat{} : StatFileAt(m_fd, name.c_str(), followLinks);
}

std::string DirectoryReader::ErrorText() const { return platform::ErrorText(m_error); }

}  // namespace platform
