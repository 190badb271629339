#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "download/DownloadStatus.h"

class CDownloaderMgr;

// One row of the download list: a request taken into the list, with the task that carries it
// once it was started. Owned by the download queue (DownloadQueue); views only read it.
struct DnldTaskInfo {
    int32_t taskId = -1;  // TaskIndexCounter: unique among uploads and downloads
    int64_t fid = 0;      // cloud file id, when the request gave one
    std::string url;
    std::filesystem::path folder;  // destination folder
    std::string name;
    int64_t size = 0;      // 0: unknown
    int64_t position = 0;  // bytes held in the cache file
    std::string hash;      // the listing's hash of the content, when known
    DownloadStatus lastStatus;              // the last state and text reported
    std::shared_ptr<CDownloaderMgr> task;   // made on the first start, kept for later starts
    // Paused by the user (its row's button, or pause all); the queue never starts it, only the
    // row's button or start all do.
    bool pausedByUser = false;

    // The queue's own bookkeeping.
    bool running = false;     // started and its end has not arrived yet
    bool deleting = false;    // deleted while running: leaves the list when its end arrives
    uint32_t timeLeftMs = 0;  // from the last progress record
    uint32_t speed = 0;       // bytes per second, from the last progress record

    std::filesystem::path LocalPath() const { return folder / name; }
};
