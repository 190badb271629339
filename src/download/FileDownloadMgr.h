#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/CriticalSection.h"

// The locked hand-over store of download work: the link thread (and later the server-actions
// worker) deposits download requests, folders to list and the clipboard copy list; the
// download queue and the dispatcher take them out on the window thread.
class FileDownloadMgr {
public:
    // One file to fetch into a local path.
    struct DownloadRequest {
        int64_t size = 0;
        int64_t position = 0;  // bytes already held locally
        std::string url;
        std::filesystem::path path;  // local target: folder and name
        int64_t fid = 0;             // cloud file id, 0 when the request gave none
        bool operator==(const DownloadRequest&) const = default;
    };
    // Keyed by the local target: two requests for one destination are one download.
    using DownloadMap = std::map<std::filesystem::path, DownloadRequest>;

    // A cloud folder whose content is to be listed and downloaded into a local folder.
    struct FolderItem {
        int64_t fid = 0;
        std::string name;
        int32_t share = 0;
        bool operator==(const FolderItem&) const = default;
    };
    // Keyed by the local target folder.
    using FolderMap = std::map<std::filesystem::path, std::vector<FolderItem>>;

    // One cloud item copied to the clipboard; size -1 marks a folder.
    struct ClipboardItem {
        int64_t fid = 0;
        std::string name;
        int32_t share = 0;
        int64_t size = 0;
        bool operator==(const ClipboardItem&) const = default;
    };

    static FileDownloadMgr& GetInstance();
    virtual ~FileDownloadMgr() = default;

    // Adds the requests' number to the in-flight count and merges them into the pending
    // downloads (an entry already pending for the same local path is kept).
    void addDownloads(const DownloadMap& downloads);
    DownloadMap takeDownloads();
    size_t pendingDownloadCount() const;

    // Merges the folder lists into the batch folders, appending under an existing key.
    void addBatchFolders(const FolderMap& folders);
    FolderMap takeBatchFolders();

    // Replaces the clipboard copy list (an empty list just clears it).
    void setClipboardList(const std::vector<ClipboardItem>& items);
    std::vector<ClipboardItem> takeClipboardList();

    int32_t getInFlight() const;
    void endOne();    // one handed-out download has ended
    void clearAll();  // the user cleared everything

private:
    FileDownloadMgr() = default;

    mutable platform::CriticalSection m_cs;
    DownloadMap m_downloads;
    FolderMap m_batchFolders;
    std::vector<ClipboardItem> m_clipboardList;
    int32_t m_inFlight = 0;
};
