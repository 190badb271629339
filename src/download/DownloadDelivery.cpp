#include "download/DownloadDelivery.h"

#include <system_error>

#include "core/CommonUtils.h"
#include "core/Logging.h"
#include "download/DownloadCache.h"

namespace fs = std::filesystem;

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
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}
