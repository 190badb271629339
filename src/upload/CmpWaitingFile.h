#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// A hashed file waiting to be compared with the server folder it belongs in.
struct CmpWaitingFile {
    std::filesystem::path path;  // the local file
    // Its place below the drop's target folder, "/" between the parts: the dropped folder's
    // name, the subfolders, the file name (only the name for a file dropped by itself).
    std::string usefulPath;
    std::filesystem::path prefix;  // the local folder the useful path is relative to
    std::string hash;              // empty: the file could not be read when it was hashed
    int64_t size = 0;

    bool operator==(const CmpWaitingFile&) const = default;
};
