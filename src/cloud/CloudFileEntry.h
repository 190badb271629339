#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>

// One file or folder as a server listing reports it (get sub-files, create path).
struct CloudFileEntry {
    static constexpr int kTypeFile = 1;
    static constexpr int kTypeFolder = 2;

    int64_t id = 0;
    int64_t pid = 0;
    std::string name;
    int type = kTypeFile;
    std::string hash;
    int64_t size = 0;
    int64_t breakPoint = 0;
    // 1: a folder, or a file whose content is complete; anything else: an upload under way,
    // whose hash and size are the ones announced, not content the server holds.
    int status = 1;

    bool IsFolder() const { return type == kTypeFolder; }
    bool IsComplete() const { return status == 1; }

    // Reads the members a listing element carries. A missing "status" counts as complete:
    // servers that do not report it only list finished files.
    static CloudFileEntry FromJson(const Json::Value& file);
};
