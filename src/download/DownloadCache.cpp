#include "download/DownloadCache.h"

#include <cerrno>
#include <vector>

#include "core/CommonUtils.h"
#include "core/Logging.h"

namespace fs = std::filesystem;

uint32_t DownloadCache::UrlHash(const std::string& url) {
    uint32_t hash = 0;
    for (char c : url) {
        hash = hash * 131u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
    }
    return hash & 0x7FFFFFFFu;
}

std::string DownloadCache::NamePart(const std::string& name) {
    if (name.size() <= kMaxNamePart) {
        return name;
    }
    size_t cut = kMaxNamePart;
    // Never inside a character: continuation bytes are 10xxxxxx.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return name.substr(0, cut);
}

fs::path DownloadCache::FolderFor(const fs::path& workDir, const std::string& name,
                                  const std::string& url) {
    return workDir / "dnld" / (NamePart(name) + "_" + std::to_string(UrlHash(url)));
}

DownloadCache::DownloadCache(fs::path folder, const std::string& name)
    : m_folder(std::move(folder)), m_file(m_folder / (NamePart(name) + "_quorva")) {}

DownloadCache::~DownloadCache() { Close(); }

bool DownloadCache::Prepare() {
    std::error_code error;
    if (!fs::is_directory(m_folder, error) && !CommonUtils::MakeFolderPath(m_folder)) {
        m_error = errno;
        return false;
    }
    const auto size = fs::file_size(m_file, error);
    m_size = error ? 0 : static_cast<int64_t>(size);
    m_hasher.Reset();
    return true;
}

bool DownloadCache::HashPrefix() {
    m_hasher.Reset();
    if (m_size == 0) {
        return true;
    }
    std::FILE* file = std::fopen(m_file.c_str(), "rb");
    if (!file) {
        m_error = errno;
        return false;
    }
    std::vector<char> buffer(8 * QuorvaFileHasher::kBlockSize);
    int64_t left = m_size;
    while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(left, buffer.size()));
        const size_t got = std::fread(buffer.data(), 1, want, file);
        if (got != want) {
            m_error = errno;
            std::fclose(file);
            m_hasher.Reset();
            return false;
        }
        m_hasher.Update(buffer.data(), got);
        left -= static_cast<int64_t>(got);
    }
    std::fclose(file);
    return true;
}

std::string DownloadCache::FinishHash() { return m_hashing ? m_hasher.Finish() : std::string(); }

bool DownloadCache::Open() {
    Close();
    m_stream = std::fopen(m_file.c_str(), "ab");
    if (!m_stream) {
        m_error = errno;
        return false;
    }
    // Every block goes to the system as it is written: nothing waits in a buffer of ours.
    std::setvbuf(m_stream, nullptr, _IONBF, 0);
    return true;
}

bool DownloadCache::Append(const char* data, size_t size) {
    if (!m_stream) {
        m_error = EBADF;
        return false;
    }
    const size_t written = std::fwrite(data, 1, size, m_stream);
    if (written != size) {
        m_error = errno;
        // A part of the block may have reached the file: the size is what the file holds.
        Close();
        std::error_code error;
        const auto now = fs::file_size(m_file, error);
        if (!error && static_cast<int64_t>(now) != m_size) {
            fs::resize_file(m_file, static_cast<uintmax_t>(m_size), error);
        }
        return false;
    }
    if (m_hashing) {
        m_hasher.Update(data, size);
    }
    m_size += static_cast<int64_t>(size);
    return true;
}

void DownloadCache::Close() {
    if (m_stream) {
        std::fclose(m_stream);
        m_stream = nullptr;
    }
}

bool DownloadCache::Truncate() {
    const bool wasOpen = IsOpen();
    Close();
    std::error_code error;
    fs::resize_file(m_file, 0, error);
    if (error && fs::exists(m_file)) {
        m_error = error.value();
        return false;
    }
    m_size = 0;
    m_hasher.Reset();
    return !wasOpen || Open();
}

bool DownloadCache::Remove() {
    Close();
    if (!CommonUtils::DeleteFolderTree(m_folder, true)) {
        LOGF(ERROR, "DownloadCache - can't delete %s", m_folder.string());
        return false;
    }
    return true;
}
