#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/Message.h"

// The parameters of one upload task, copied whole whenever they are handed on (window list,
// task, job, transfer). The local file is always `folder` / `name`.
struct CUploadParam {
    std::filesystem::path reservedPath;  // kept and copied with the record; not read
    int32_t taskIndex = -1;              // the task's number in logs: "Task[%02d]"
    platform::WindowHandle window = platform::kNoWindow;  // receives the task's messages
    int64_t fileSize = 0;                // bytes of the local file when it was hashed
    std::string name;                    // file name (UTF-8), also the name on the server
    std::filesystem::path folder;        // local folder holding the file
    int64_t pid = 0;                     // cloud folder that receives the file
    int64_t fid = 0;                     // cloud file id; 0 until the server created the file
    int64_t breakPoint = 0;              // bytes of the file the server already holds
    int32_t share = 0;                   // 1: shared folder, every request says "&share=1"
    std::string hash;                    // the file's hash string (ComputeShaHandler)
    bool lockFlag = false;               // an edited file: locked on the server while it goes up,
                                         // the local copy deleted when the upload ends

    std::filesystem::path LocalPath() const { return folder / name; }
};
