#include "download/DownloadDelivery.h"

#include <system_error>

#include "core/CommonUtils.h"
#include "core/Logging.h"
#include "download/DownloadCache.h"
#include "platform/FileSystem.h"

namespace fs = std::filesystem;

namespace {

// Whether the copy stopped short because the temporary's file system has no room for the rest.
bool NoRoomLeft(const fs::path& cacheFile, const fs::path& temporary) {
    std::error_code error;
    const uintmax_t whole = fs::file_size(cacheFile, error);
    if (error) {
        return false;
    }
    const uintmax_t copied = fs::file_size(temporary, error);
    const auto free = platform::FreeDiskSpace(temporary.parent_path());
    return !error && free && copied < whole && *free < whole - copied;
}

}  // namespace

fs::path DownloadDelivery::TemporaryPath(const fs::path& destination) {
    return destination.parent_path() /
           ("." + DownloadCache::NamePart(destination.filename().string()) + ".zorp-part");
}

DownloadDelivery::Outcome DownloadDelivery::Deliver(const fs::path& cacheFile,
                                                    const fs::path& destination, bool keepCache) {
    Outcome outcome;
    const fs::path folder = destination.parent_path();
    std::error_code error;
    if (!fs::is_directory(folder, error) && !CommonUtils::MakeFolderPath(folder)) {
        outcome.error = "can't create the folder " + folder.string();
        return outcome;
    }
    if (!keepCache) {
        fs::rename(cacheFile, destination, error);
        if (!error) {
            outcome.ok = outcome.renamed = true;
            return outcome;
        }
        // Another file system (or a name the rename refuses): copy instead.
        if (error != std::errc::cross_device_link) {
            VLOGF(1, "DownloadDelivery - rename to %s: %s, copying", destination.string(),
                  error.message());
        }
        error.clear();
    }
    const fs::path temporary = TemporaryPath(destination);
    fs::copy_file(cacheFile, temporary, fs::copy_options::overwrite_existing, error);
    if (!error) {
        outcome.copiedBytes = static_cast<int64_t>(fs::file_size(temporary, error));
    }
    if (!error) {
        fs::rename(temporary, destination, error);
    }
    if (error) {
        outcome.error = error.message();
        if (error == std::errc::io_error && NoRoomLeft(cacheFile, temporary)) {
            // The library's copy reports a short copy as an I/O error; on a full disk the user
            // must read that the disk is full, or they look for a broken one.
            outcome.error = std::make_error_code(std::errc::no_space_on_device).message();
        }
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}
