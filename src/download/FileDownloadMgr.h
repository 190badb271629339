#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cloud/IFolderListingStore.h"
#include "platform/CriticalSection.h"

// The locked hand-over store of download work: the link thread and the server actions worker
// deposit download requests, folders to list, refused names and the clipboard copy list; the
// download queue and the dispatcher take them out on the window thread. It also reads back the
// unfinished downloads the previous run stored (dl_undo).
class FileDownloadMgr : public IFolderListingStore {
public:
    // One file to fetch into a local path.
    struct DownloadRequest {
        int64_t size = 0;
        int64_t position = 0;  // bytes already held locally
        std::string url;
        std::filesystem::path path;  // local target: folder and name
        int64_t fid = 0;             // cloud file id, 0 when the request gave none
        std::string hash;            // the content's hash when a listing reported it
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
    ~FileDownloadMgr() override = default;

    // Adds the requests' number to the in-flight count and merges them into the pending
    // downloads (an entry already pending for the same local path is kept).
    void addDownloads(const DownloadMap& downloads);
    DownloadMap takeDownloads();
    // A copy of the pending downloads, left where they are.
    DownloadMap peekDownloads() const;
    size_t pendingDownloadCount() const;

    // Merges the folder lists into the batch folders, appending under an existing key.
    void addBatchFolders(const FolderMap& folders);
    FolderMap takeBatchFolders();

    // Names that were refused before they became downloads (not one path component, or a
    // folder the server would not list): the download queue reports them as failed.
    void addRefusedNames(const std::vector<std::string>& names);
    std::vector<std::string> takeRefusedNames();

    // Replaces the clipboard copy list (an empty list just clears it).
    void setClipboardList(const std::vector<ClipboardItem>& items);
    std::vector<ClipboardItem> takeClipboardList();

    int32_t getInFlight() const;
    void addInFlight(int32_t count);  // downloads handed out again (a retry)
    void endOne();    // one handed-out download has ended
    void clearAll();  // the user cleared everything

    // The unfinished downloads the stored snapshot holds for the current user (dl_undo of the
    // transfer database, or of `txlogDb`), added as pending downloads. The rows stay: the
    // snapshot the queue stores next replaces them. Returns how many were added.
    size_t loadUnfinished(const std::filesystem::path& txlogDb = {});

    // IFolderListingStore (the server actions worker). A listed folder becomes a local folder
    // at once, so an empty cloud folder arrives as an empty local folder; its complete files
    // become downloads (with the listing's hash), its subfolders the next folders to list, and
    // names that are not one path component are refused.
    std::vector<Folder> takeFoldersToList() override;
    bool hasFoldersToList() const override;
    size_t addListing(const Folder& folder, const std::vector<CloudFileEntry>& entries) override;
    void listingFailed(const Folder& folder) override;
    void returnFolders(const std::vector<Folder>& folders) override;

private:
    FileDownloadMgr() = default;

    mutable platform::CriticalSection m_cs;
    DownloadMap m_downloads;
    FolderMap m_batchFolders;
    std::vector<std::string> m_refused;
    std::vector<ClipboardItem> m_clipboardList;
    int32_t m_inFlight = 0;
};
