#pragma once

#include <cstdint>

#include "download/DownloadResult.h"

// The end record of one run of a download task (WM_DNLD_END, WM_LOCALEDIT_DNLD_END).
struct DownloadEndInfo {
    int32_t taskId = -1;
    int32_t result = kDlTransferRan;  // DownloadResult
    int64_t position = 0;             // bytes held in the cache file when the run ended
};
