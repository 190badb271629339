#pragma once

#include <cstdint>

// How a run of a download job ended, as its end record reports it. The state and text the run
// set are in the end message's status; these say which step decided.
enum DownloadResult : int32_t {
    kDlDiskFull = 1,       // not enough free space for the bytes still to come: "Disk is full"
    kDlNoSize = 2,         // the header probe produced no size: "File not exists"
    kDlFileError = 3,      // the cache file could not be opened or written: "Transmission Error"
    kDlPoolStopped = 4,    // the pool ended the job before the transfer began; state ready
    kDlNoContext = 5,      // the job had no task: "NO DOWNLOADCONTEXT"
    kDlTransferRan = 6,    // the transfer ran; its outcome is the state
    kDlBadName = 7,        // the file name is not one path component; nothing was written
    kDlHashMismatch = 8,   // the content did not match the listing's hash twice; not delivered
    kDlDeliveryFailed = 9, // the file could not be put under its name (no room, no permission);
                           // the cache stays, so a retry delivers without downloading again
};
