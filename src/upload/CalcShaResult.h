#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// What a finished hash job reports (the record of WM_CALC_SHA_FINISH). An empty hash means no
// hash could be computed (missing, unreadable or empty file).
struct CalcShaResult {
    std::filesystem::path path;
    std::string hash;
    int64_t size = 0;
};
