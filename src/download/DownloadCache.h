#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "upload/QuorvaFileHasher.h"

// The cache file of one download: "<work>/dnld/<name>_<url hash>/<name>_quorva". It always
// holds the first bytes of the file, nothing else, and grows only at its end, so its size is
// the break point every connection asks the server for. Every block is written through to the
// system at once: a killed process loses nothing it had received. The content's hash is built
// from the same bytes as they are written (when the download is to be checked).
//
// Owned by one download job, on its thread.
class DownloadCache {
public:
    // Longest part of a file name used in the cache's own names: the folder adds an
    // underscore and up to ten digits, and a name may already be as long as a file system
    // allows.
    static constexpr size_t kMaxNamePart = 200;

    // The URL's hash for the cache folder's name: hash × 131 + byte (each byte signed) in
    // 32-bit arithmetic, the top bit cleared.
    static uint32_t UrlHash(const std::string& url);
    static std::filesystem::path FolderFor(const std::filesystem::path& workDir,
                                           const std::string& name, const std::string& url);

    DownloadCache(std::filesystem::path folder, const std::string& name);
    ~DownloadCache();
    DownloadCache(const DownloadCache&) = delete;
    DownloadCache& operator=(const DownloadCache&) = delete;

    const std::filesystem::path& Folder() const { return m_folder; }
    const std::filesystem::path& File() const { return m_file; }

    // Creates the folder when it is missing and learns the cache file's size (0 when there is
    // none). False when the folder cannot be made.
    bool Prepare();
    int64_t Size() const { return m_size; }

    // The hash is built over the whole content: with `on`, Prepare's bytes are read once
    // (HashPrefix) and every appended block follows.
    void SetHashing(bool on) { m_hashing = on; }
    bool HashPrefix();
    // The hash of everything the cache file holds; empty without hashing.
    std::string FinishHash();

    // Opens the file for appending at its end, creating it.
    bool Open();
    bool IsOpen() const { return m_stream != nullptr; }
    // Writes the whole block at the end; false (the file is then as before, or shorter
    // than it claims: Size() stays what was written in full) on a write error.
    bool Append(const char* data, size_t size);
    void Close();
    // Empties the cache file (its content is of no use: too long, or not what the listing
    // promised); the hash starts again.
    bool Truncate();
    // The cache folder with everything in it.
    bool Remove();

    // errno of the last failed operation.
    int LastError() const { return m_error; }

    // `name` cut to at most kMaxNamePart bytes, at a UTF-8 character boundary.
    static std::string NamePart(const std::string& name);

private:
    std::filesystem::path m_folder;
    std::filesystem::path m_file;
    std::FILE* m_stream = nullptr;
    int64_t m_size = 0;
    bool m_hashing = false;
    QuorvaFileHasher m_hasher;
    int m_error = 0;
};
