#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Message.h"

// The parameters of one download task, copied whole whenever they are handed on (queue entry,
// task, job, header probe). The delivered file is always `folder` / `name`.
struct CDownloadParam {
    std::string url;       // the whole download address of the file (UTF-8)
    int32_t taskId = -1;   // "Task[%02d]" in every log line
    platform::WindowHandle window = platform::kNoWindow;  // receives status, progress and end
    int64_t size = 0;      // bytes of the file; 0: unknown, the header probe asks the server
    int64_t position = 0;  // bytes of the file held in the cache file (the resume point)
    std::string name;      // file name: one path component (CommonUtils::IsPlainName)
    std::filesystem::path folder;  // local destination folder
    bool localEdit = false;  // a download for local editing: its own pool, its own end message,
                             // progress to the page instead of the window
    int64_t fid = 0;       // cloud file id, reported back to the page for local-edit downloads
    std::string token;     // the local edit's token, passed back with its progress
    std::string hash;      // the content's hash when a listing reported it; the delivered file
                           // must have it (empty: not checked)

    std::filesystem::path LocalPath() const { return folder / name; }
};
