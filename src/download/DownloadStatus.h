#pragma once

#include <cstdint>
#include <string>

#include "core/TaskState.h"

// A download task's state (TaskState) and status text, as GetStatus copies them out and the
// status and end messages carry them.
struct DownloadStatus {
    int32_t state = TSE_READY;
    std::string text;
};
