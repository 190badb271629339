#pragma once

#include <cstdint>

#include "download/DownloadResult.h"
#include "download/FileDownloadMgr.h"

// A download that ended without its file, kept in one of the download queue's failed lists
// until it is restarted (or stored as unfinished). Disk full, no size, a cache file that cannot
// be written, a refused name and a content that did not match go to the second list, which a
// retry does not restart; every other failure to the first.
struct DnldFailedFile {
    FileDownloadMgr::DownloadRequest request;  // url empty: a refused name, nothing to fetch
    int32_t reason = kDlTransferRan;           // the run's DownloadResult

    static bool IsSecondListReason(int32_t reason) {
        return reason == kDlDiskFull || reason == kDlNoSize || reason == kDlFileError ||
               reason == kDlBadName || reason == kDlHashMismatch;
    }
};
