#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>

// One file or folder of the disk, as the metadata table holds it.
struct FileRecord {
    static constexpr int kTypeFile = 1;
    static constexpr int kTypeFolder = 2;

    int64_t id = 0;
    int64_t pid = 0;
    std::string name;
    int type = kTypeFile;
    bool share = false;
    // 1: a folder, or a file whose content is complete; 0: an upload is under way.
    int status = 1;
    int64_t size = 0;         // size of the stored content
    std::string hash;         // hash of the stored content ("" while there is none)
    int64_t uploadSize = 0;   // size announced by the upload under way
    std::string uploadHash;   // hash claimed by its chunks ("" before the first)
    int64_t breakPoint = 0;   // bytes of that upload the server holds
    // Raised each time the file's upload starts over; names its partial file, so a chunk of
    // an abandoned attempt that arrives late can never write into the new attempt's data.
    int64_t uploadGen = 0;
    std::string lockKey;
    std::string lockApp;
    int64_t lockUntil = 0;    // seconds since 1970; the lock lapses after it
    int64_t modified = 0;     // seconds since 1970

    bool IsFolder() const { return type == kTypeFolder; }
    bool IsComplete() const { return status == 1; }
    // A stored content exists (a file being replaced still serves its previous content).
    bool HasContent() const { return type == kTypeFile && (status == 1 || !hash.empty()); }

    // The members the client reads: id, pid, name, type, hash, size, breakPoint, status, and
    // share. A file under upload reports the upload's size, hash and break point.
    Json::Value ToJson() const;
};
