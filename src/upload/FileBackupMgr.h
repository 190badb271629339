#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cloud/CloudFileEntry.h"
#include "platform/CriticalSection.h"
#include "upload/CmpWaitingFile.h"
#include "upload/UpldWaitingFile.h"

class CWriteDbMgr;
struct CalcShaResult;

// The process-wide store of upload work that was asked for but not yet handed to the upload
// queue: the page's upload requests (deposited by the link thread), the dropped folders of the
// batch being handled, the files still to hash, the hashed files still to compare with the
// server, and the waiting records the queue takes. Workers of the folder walk and the
// comparison put their results here and the window thread takes them out, so every member is
// guarded by one critical section. At shutdown it saves the unfinished dropped folders; at
// start-up it reads back what the previous run left unfinished.
class FileBackupMgr {
public:
    // A work request is keyed by the cloud folder that receives the files and its share flag.
    struct RequestKey {
        int64_t pid = 0;
        int32_t share = 0;
        auto operator<=>(const RequestKey&) const = default;
    };
    using RequestMap = std::map<RequestKey, std::vector<std::filesystem::path>>;
    struct WorkRequest {
        RequestKey key;
        std::vector<std::filesystem::path> paths;
    };

    // The cloud folder the batch being handled goes into.
    struct BatchTarget {
        int64_t pid = 0;
        int32_t share = 0;
        bool operator==(const BatchTarget&) const = default;
    };

    // A folder of the batch, dropped (or chosen) as a whole. Paths below it are placed in the
    // cloud relative to its parent, so the dropped folder itself appears in the target.
    struct DroppedRoot {
        std::filesystem::path parent;
        int64_t cloudId = -2;  // -2 until the walk has created it
    };

    struct UsefulPath {
        std::filesystem::path prefix;  // local folder the path is taken relative to
        std::string usefulPath;        // the rest, "/" between the parts
    };

    // What a restore of unfinished uploads did with the rows it read; every row lands in
    // exactly one of the three counts.
    struct RestoreSummary {
        bool read = false;  // the rows could be read (and were then deleted)
        int queued = 0;     // unchanged files, back on the upload list
        int rehash = 0;     // changed files, back on the list of files to hash
        int dropped = 0;    // gone (or no longer files): logged and left out
    };

    static constexpr int64_t kUnknownFolder = -2;

    static FileBackupMgr& GetInstance();
    virtual ~FileBackupMgr() = default;

    // ---- work requests ----
    // Appends the paths to the pending request of the key, or adds the key with them.
    void addWorkRequest(const RequestKey& key, const std::vector<std::filesystem::path>& paths);
    RequestMap getPendingRequests() const;
    bool hasPendingRequests() const;
    // Takes the first pending request (in key order) and moves it to the active requests,
    // merging its paths into an active request of the same key. Nothing when none is pending.
    std::optional<WorkRequest> takeNextRequest();
    RequestMap getActiveRequests() const;
    // Removes, from the active request of the batch target, the first path whose text
    // contains `text` (a dropped folder whose cloud folder could not be created). False when
    // none does.
    bool removeActivePath(const std::string& text);
    void clearActiveRequests();

    // Upload cancellations: the fids are added to the cancel list; the remove flag (1 = report
    // the fids that no task holds) is the one of the latest request.
    void addCancelFids(const std::vector<int64_t>& fids, int removeFlag);
    std::vector<int64_t> takeCancelFids(int* removeFlag = nullptr);

    // ---- the batch being handled ----
    void setBatchTarget(int64_t pid, int32_t share);
    BatchTarget getBatchTarget() const;
    void setBackupRoot(int64_t id);
    int64_t getBackupRoot() const;

    // ---- dropped folders of the batch ----
    void addDroppedRoot(const std::filesystem::path& folder);
    void setDroppedRootId(const std::filesystem::path& folder, int64_t cloudId);
    void removeDroppedRoot(const std::filesystem::path& folder);
    void clearDroppedRoots();
    std::map<std::filesystem::path, DroppedRoot> getDroppedRoots() const;
    bool hasDroppedRoots() const;
    // Where a local path goes below the batch target: relative to the parent of the deepest
    // dropped folder that holds it; a path under no dropped folder goes straight into the
    // target (prefix = its folder, useful path = its name).
    UsefulPath getUsefulPath(const std::filesystem::path& path) const;
    // The same for a known set of roots (the walk uses its own when none is registered).
    static std::optional<UsefulPath> UsefulPathAmong(
        const std::map<std::filesystem::path, DroppedRoot>& roots, const std::filesystem::path& path);

    // Folders named by the backup (unique).
    bool addFolder(const std::filesystem::path& folder);
    std::vector<std::filesystem::path> getFolders() const;

    // ---- cloud folders and listings (the comparison's cache; the walk adds what it creates) ----
    // "R_" + base id + "\" + the relative folder's parts joined with "\".
    static std::string folderKey(int64_t baseId, const std::string& relativeFolder);
    // The cloud id of a relative folder, kUnknownFolder (-2) when not known.
    int64_t getFolderId(const std::string& key) const;
    void setFolderId(const std::string& key, int64_t id);
    bool hasListing(int64_t folderId) const;
    // Replaces the cached listing of a folder.
    void setListing(int64_t folderId, const std::vector<CloudFileEntry>& entries);
    // Adds an entry to a listing that is cached (no-op otherwise).
    void addListingEntry(int64_t folderId, const CloudFileEntry& entry);
    std::optional<CloudFileEntry> findListingEntry(int64_t folderId, const std::string& name) const;
    void clearServerCache();

    // ---- files to hash ----
    void addFilesToSubFileList(const std::vector<std::filesystem::path>& paths);
    void addSubFile(const std::filesystem::path& path);
    // Removes and returns at most `count` paths from the front.
    std::vector<std::filesystem::path> takeSubFiles(size_t count);
    size_t getSubFileCount() const;

    // ---- hashed files waiting for comparison ----
    void addShaFile(const CmpWaitingFile& file);
    std::vector<CmpWaitingFile> takeShaFiles();
    // Puts files taken but not compared (the comparison was paused or stopped) back in front.
    void returnShaFiles(std::vector<CmpWaitingFile> files);
    size_t getShaFileCount() const;

    // ---- waiting records for the upload queue ----
    // A compared file to upload into `pid` (`fid` 0 for a new file), for the batch target.
    // Lowers the to-compare count.
    void addBackupFile(const std::string& hash, int64_t fid, int64_t pid,
                       const std::filesystem::path& path, int64_t size);
    void addUploadRecord(const UpldWaitingFile& record);
    std::vector<UpldWaitingFile> takeUploadList();
    size_t getUploadListSize() const;
    // Copies, for whoever stores the unfinished uploads while the process runs.
    std::vector<UpldWaitingFile> getUploadList() const;
    // Restored uploads whose file changed and which wait for their new hash.
    std::vector<UpldWaitingFile> getChangedFiles() const;
    // A restored upload whose file changed was hashed again: its record goes back on the upload
    // list with the new hash and size (same cloud file and folder). False when the path is not
    // one of those; a file that could not be hashed is dropped and logged.
    bool addChangedFileHash(const CalcShaResult& result);
    // An upload whose file changed after it was hashed: the file is hashed again and its
    // record waits for the new hash (addChangedFileHash) as a restored one does.
    void addChangedFile(UpldWaitingFile record);
    size_t getChangedFileCount() const;

    // ---- counts of the batch ----
    // Adds `count` to both the remaining and the to-compare count; 0 sets both to 0.
    void addFileCount(int count);
    // A batch begins: nothing is compared any more, whatever was counted for it.
    void resetToCompareCount();
    void decreaseRemainingCount();
    // A file leaves the batch without becoming an upload (already on the server, skipped):
    // lowers both counts (not below 0).
    void decreaseFileCount();
    int getRemainingCount() const;
    int getToCompareCount() const;

    // ---- persistence ----
    // Writes a dropped-folder row for every path of every pending and active request that
    // is an existing folder.
    void saveDragDirs(CWriteDbMgr& queue) const;
    // Reads back the previous run's unfinished uploads (and the last upload queue state into
    // the options). The rows stay where they are until the caller's next snapshot
    // (UnfinishedUploadsSaver) replaces them, so that a kill in between loses none of them.
    // `txlogDb` defaults to the options' transfer database.
    RestoreSummary restoreUndoFiles(const std::filesystem::path& txlogDb = {});
    // Reads back the stored dropped folders as pending requests, only while the upload list is
    // empty and no restored upload is being hashed again (restored uploads go first). True
    // when rows were read; they stay stored until the next snapshot replaces them.
    bool restoreDragDirs(const std::filesystem::path& txlogDb = {});

    // Empties every list and map; counts, backup root and batch target become 0.
    void reset();

private:
    FileBackupMgr() = default;

    mutable platform::CriticalSection m_cs;
    RequestMap m_pendingRequests;
    RequestMap m_activeRequests;
    std::vector<int64_t> m_cancelFids;
    int m_cancelRemove = 0;

    BatchTarget m_batchTarget;
    int64_t m_backupRoot = 0;
    std::map<std::filesystem::path, DroppedRoot> m_droppedRoots;
    std::vector<std::filesystem::path> m_folders;

    std::unordered_map<std::string, int64_t> m_knownFolders;
    std::unordered_map<int64_t, std::unordered_map<std::string, CloudFileEntry>> m_listings;

    std::deque<std::filesystem::path> m_subFiles;
    std::deque<CmpWaitingFile> m_shaFiles;
    std::vector<UpldWaitingFile> m_uploadList;
    // Restored uploads being hashed again; one path may be held by several uploads (the same
    // file sent to two cloud folders), each comes back with one hash result.
    std::multimap<std::filesystem::path, UpldWaitingFile> m_changedFiles;

    int m_remainingCount = 0;
    int m_toCompareCount = 0;
};
