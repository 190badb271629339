#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/WriteBehindFile.h"

// File contents on disk, addressed by their hash: "objects/<first two digits>/<hash>". An
// upload under way lives in "partial/<file id>.<attempt>.part" and enters the store only when complete
// and verified, by a rename, so a reader never sees half a file. Every path is built from a
// file id and attempt number or from a hash already checked to be hex digits and a decimal size, so no request
// text can name a place outside the data folder.
class ContentStore {
public:
    bool Open(const std::filesystem::path& dataDir, std::string* error);

    std::filesystem::path PartialPath(int64_t fid, int64_t gen) const;
    std::filesystem::path ObjectPath(const std::string& hash) const;

    bool HasObject(const std::string& hash) const;

    // Opens the partial upload for writing (creating it) and cuts it after `keep` bytes, so
    // bytes that a crash left behind the last accepted chunk never survive. The upload keeps
    // the file open while its chunks arrive.
    // Its pages go to the disk and leave memory a few megabytes behind the writes, so a large
    // upload does not take a new page of memory for every byte it stores.
    std::unique_ptr<platform::WriteBehindFile> OpenPartial(int64_t fid, int64_t gen, int64_t keep);
    // Bytes in the partial upload (0 when there is none).
    int64_t PartialSize(int64_t fid, int64_t gen) const;
    void DiscardPartial(int64_t fid, int64_t gen);
    // Moves the complete partial upload into the store under `hash`. When the store already
    // has that content (another upload of it finished first), the partial file is dropped.
    bool CommitPartial(int64_t fid, int64_t gen, const std::string& hash);
    void RemoveObject(const std::string& hash);
    // A file made outside an upload (the admin's planted files) as the content `hash`;
    // like CommitPartial, an object already stored wins and the file is dropped.
    bool Adopt(const std::filesystem::path& file, const std::string& hash);
    // Where such a file is made before it is adopted.
    std::filesystem::path ScratchPath(const std::string& tag) const;
    // Reads `size` bytes at `offset` of the partial upload into `out`.
    bool ReadPartial(int64_t fid, int64_t gen, int64_t offset, size_t size, char* out) const;

    // Opens stored content for reading; null when absent.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> OpenObject(const std::string& hash) const;

private:
    std::filesystem::path m_objects;
    std::filesystem::path m_partial;
};
