#pragma once

#include <cstdint>
#include <string>

// A task's state and status text as one record: WM_UPLD_STATUS carries it when a task starts,
// WM_UPLD_END beside the end record.
struct UpldStatusInfo {
    int32_t state = 0;
    std::string text;
};
