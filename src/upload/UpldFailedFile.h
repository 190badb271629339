#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// An upload that ended without the file on the server, kept in one of the upload queue's
// failed lists until it is restarted (or saved at quit).
struct UpldFailedFile {
    // 19 for a failure without a server code; otherwise the server's status (102003 to 102005
    // go to the second failed list, 102008 means the cloud disk is full).
    int64_t code = 19;
    int64_t pid = 0;
    int64_t fid = 0;
    std::filesystem::path path;
    std::string hash;
    int64_t size = 0;
    bool lockFlag = false;
    int32_t share = 0;
    int64_t batchTarget = 0;
    // A dropped folder whose walk failed (the dispatcher adds it); restarting hands it back to
    // the backup file list as a work request instead of uploading it as a file.
    bool isFolder = false;
    // The list entry that failed (its finished row offers the retry); -1 for a folder.
    int32_t taskIndex = -1;
    // Named to the page with the end of its batch already. A later batch neither names it nor
    // retries it by itself (each batch reports its own failures); the user's retry of its row
    // still can.
    bool reported = false;
};
