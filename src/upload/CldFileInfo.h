#pragma once

#include <cstdint>
#include <string>

// What the server last said about the file being uploaded, and the hash sent with each chunk.
struct CldFileInfo {
    int32_t type = 0;
    int64_t size = 0;
    int64_t breakPoint = 0;
    std::string hash;
};
