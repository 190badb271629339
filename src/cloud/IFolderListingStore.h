#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "cloud/CloudFileEntry.h"

// Where the server actions worker takes the cloud folders of a folder download from and gives
// their listings to: the download side's hand-over store (FileDownloadMgr) implements it. The
// worker lists; the store decides what a listed element becomes (a download, a folder to list
// next, a refused name). Callable from the worker thread; the store locks itself.
class IFolderListingStore {
public:
    // One cloud folder to list and the local folder its content goes to.
    struct Folder {
        std::filesystem::path local;  // the target folder and the cloud folder's name
        int64_t fid = 0;
        int32_t share = 0;
        bool operator==(const Folder&) const = default;
    };

    virtual ~IFolderListingStore() = default;

    // Every folder waiting to be listed, taken out of the store.
    virtual std::vector<Folder> takeFoldersToList() = 0;
    virtual bool hasFoldersToList() const = 0;
    // The listing of `folder`, every element in the server's order. Returns how many files it
    // queued for download.
    virtual size_t addListing(const Folder& folder, const std::vector<CloudFileEntry>& entries) = 0;
    // The server refused to list the folder: nothing of it is downloaded.
    virtual void listingFailed(const Folder& folder) = 0;
    // Folders taken and not listed (the worker was paused or stopped, or the server could not
    // be reached) wait for the next listing.
    virtual void returnFolders(const std::vector<Folder>& folders) = 0;
};
