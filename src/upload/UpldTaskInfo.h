#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "core/TaskState.h"

class CUploaderMgr;

// One row of the upload list: a waiting file taken into the list, with the task that carries
// it once it was started. Owned by the upload queue (UploadQueue); views only read it.
struct UpldTaskInfo {
    int32_t taskIndex = -1;  // TaskIndexCounter: unique among uploads and downloads
    int64_t fid = 0;         // cloud file id, 0 until the server registered the file
    int64_t pid = 0;         // cloud folder that receives the file
    std::filesystem::path folder;
    std::string name;
    int64_t fileSize = 0;
    int64_t breakPoint = 0;  // bytes the server holds (1 for a restored upload: ask the server)
    std::string hash;
    // Paused by the user (or by pause all); the queue never starts a held entry, only its
    // row's button or start all do.
    bool held = false;
    int32_t state = TSE_READY;  // last state reported by the task
    std::string statusText;
    std::shared_ptr<CUploaderMgr> task;  // made on the first start, kept for later starts
    int64_t batchTarget = 0;             // cloud folder of the drop or backup it came from
    int32_t share = 0;
    bool lockFlag = false;      // an edited file (the local edit manager's)
    bool counted = false;       // UpldWaitingFile::counted
    bool rehashed = false;      // UpldWaitingFile::rehashed
    bool deletionTold = false;  // the page was told the upload was removed

    // The queue's own bookkeeping.
    bool running = false;     // started and its end has not arrived yet
    bool deleting = false;    // deleted while running: leaves the list when its end arrives
    uint32_t timeLeftMs = 0;  // from the last progress record
    uint32_t speed = 0;       // bytes per second, from the last progress record

    std::filesystem::path LocalPath() const { return folder / name; }
};
