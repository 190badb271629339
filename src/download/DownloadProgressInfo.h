#pragma once

#include <cstdint>

// One progress record of a running download (WM_DNLD_PROGRESS), posted at most about once a
// second (the speed meter's tick) and once more when the last byte arrived.
struct DownloadProgressInfo {
    int32_t taskId = -1;
    int64_t size = 0;         // 0: unknown
    int64_t done = 0;         // bytes held, counted from the start of the file
    uint32_t timeLeftMs = 0;  // from the speed meter
    uint32_t speed = 0;       // bytes per second, from the speed meter
};
