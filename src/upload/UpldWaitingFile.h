#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// One file ready for the upload queue: what the comparison, a restore or a rehash hands over
// and what the queue turns into an upload task.
struct UpldWaitingFile {
    std::filesystem::path path;  // the local file
    int64_t pid = 0;             // cloud folder that receives it
    int64_t fid = 0;             // cloud file id, 0 when the server has none yet
    int64_t size = 0;
    // Bytes the server holds: 0 in records made by the comparison; 1 in restored records,
    // which makes the upload ask the server for the real break point instead of registering
    // the file again.
    int64_t breakPoint = 0;
    std::string hash;
    int64_t batchTarget = 0;  // cloud folder of the drop or backup that produced the record
    int32_t share = 0;        // 1 when the target folder is shared
    bool lockFlag = false;    // uploads of locally edited files only
    // Counted in the backup file list's count of files remaining (a batch's compared files and
    // retried failures are; restored and edited files are not).
    bool counted = false;
    // Hashed again already because its content no longer matched its hash (it changed while
    // it went up): a second such change fails it at once.
    bool rehashed = false;

    bool operator==(const UpldWaitingFile&) const = default;
};
