#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Puts a finished download under its real name without ever leaving half a file there: the
// cache file itself is renamed over the destination when it need not be kept and lies on the
// same file system (no byte is copied), otherwise it is copied to a temporary name beside the
// destination, which is renamed over it once complete. An existing file of that name is
// replaced only then. A delivery that fails leaves the cache file as it was.
class DownloadDelivery {
public:
    struct Outcome {
        bool ok = false;
        bool renamed = false;     // the cache file became the destination
        int64_t copiedBytes = 0;  // bytes written by a copy
        std::string error;        // why it failed, for the task's status text and the log
    };

    static Outcome Deliver(const std::filesystem::path& cacheFile,
                           const std::filesystem::path& destination, bool keepCache);

    // The temporary name of a copy: hidden, beside the destination.
    static std::filesystem::path TemporaryPath(const std::filesystem::path& destination);
};
