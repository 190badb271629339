#pragma once

#include <cstdint>

// The record of WM_UPLD_PROGRESS: where a running upload stands, posted on the speed meter's
// ticks. The position is the break point, which moves once per accepted chunk.
struct UpldProgressInfo {
    int32_t taskIndex = -1;
    int64_t fid = 0;
    int64_t fileSize = 0;
    int64_t breakPoint = 0;
    uint32_t timeLeftMs = 0;
    uint32_t speed = 0;  // bytes per second
};
