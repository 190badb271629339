#pragma once

#include <cstdint>

// The record of WM_UPLD_INFO: the server registered the task's file under this id.
struct UpldFileIdInfo {
    int64_t fid = 0;
    int32_t taskIndex = -1;
};
