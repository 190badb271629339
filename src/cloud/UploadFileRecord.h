#pragma once

#include <json/value.h>

#include <cstdint>
#include <optional>
#include <string>

// The server's record of a file under upload, as the upload init, get file and chunk replies
// carry it in "data" -> "file". Every member is empty unless the server sent it as a whole
// number (or as text, for the hash): an upload must never act on a guessed id or break point.
struct UploadFileRecord {
    bool present = false;  // "data" -> "file" is an object
    std::optional<int64_t> id;
    std::optional<int64_t> pid;
    std::optional<int64_t> status;  // 1: complete, with the content the server holds
    std::optional<int64_t> type;
    std::optional<int64_t> size;
    std::optional<int64_t> breakPoint;
    std::optional<std::string> hash;
    Json::Value file;  // the object as sent, for the page's notices and the logs

    bool IsComplete() const { return status == 1; }

    static UploadFileRecord FromJson(const Json::Value& file);
};
