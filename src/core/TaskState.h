#pragma once

#include <cstdint>

// The life of an upload or download task. Both kinds share the numbering: the windows print it
// as "Status=0x%08X", end records carry it, and stored rows keep it.
enum TaskState : int32_t {
    TSE_READY = 0,             // created and never started, or back in the list untouched
    TSE_TRANSFERRING = 1,      // Start accepted the task: its job waits in or runs on the pool
    TSE_COMPLETED = 2,         // the last chunk (or byte) arrived and the server holds the file
    TSE_FAILED = 3,            // a step failed; the status text says which when it can
    TSE_PAUSED = 4,            // the job ended after a pause request; Start resumes it
    TSE_SERVER_COMPLETED = 5,  // uploads only: the server already held the content
    TSE_DESTROYED = 6,         // the job ended after a stop request; nothing runs any more
    TSE_PAUSING = 7,           // Pause was asked while the job runs; it ends at its next check
    TSE_DESTROYING = 8,        // Stop was asked while a job runs; it can only end as destroyed
};
