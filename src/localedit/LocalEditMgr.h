#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/CWriteDbMgr.h"
#include "platform/CriticalSection.h"
#include "platform/Message.h"
#include "upload/UpldWaitingFile.h"

class CDownloaderMgr;

// Edits of cloud files with local programs.
//
// The page's edit request (deposited by the link thread) becomes an edited file: it is
// downloaded, one at a time on the local-edit pool, into a fresh time-stamped folder under the
// work folder's "edit", opened with the desktop's program, and watched (DirFileChangeMgr).
// Every save the watcher hands over is copied to "sha" and hashed by the helper
// (LocalEditToolMgr); a content that differs from the last known one is copied to "upld" and
// offered to the upload queue (WM_LOCALEDIT_SHA to the window, then takeWaitingUploads). The
// upload takes the server lock for this client and the helper renews it; when the upload ends
// the helper lets it go.
//
// Each edited file has a status that folds saves which come while a hash or an upload runs
// into exactly one more round:
//
//   kOpened 0        downloaded and opened, never changed
//   kWaitingUpload 1 a new version waits in the upload folder
//   kHashing 2       a copy is being hashed
//   kHashingSaved 3  being hashed, and saved again meanwhile
//   kHashingUpld 4   being hashed while an upload of the previous version runs
//   kHashingUpldSaved 5  as 4, and saved again meanwhile
//   kUploading 6     being uploaded
//   kUploadingNewer 7    being uploaded, and a newer version is hashed and waiting
//   kUploadFailed 8  the upload ended unsuccessfully
//   kInStep 9        in step with the server
//
// A crash loses no edit: every edited file is kept in the databases (edit_pending) with the
// content the server holds, the size and time of the edited copy when it held that content,
// and whether the server lock may be held. At the next start (Init, then resumePending) a copy
// that changed is hashed and uploaded like a save, and a lock left behind is let go; a
// left-over edit with nothing pending moves to "ledir" under the day's date.
//
// Everything but the link thread's deposits runs on the drop window's thread: the dispatcher
// calls in, and the watcher's and the helper's hand-overs arrive there as window messages.
class LocalEditMgr {
public:
    enum EditStatus : int32_t {
        kOpened = 0,
        kWaitingUpload = 1,
        kHashing = 2,
        kHashingSaved = 3,
        kHashingUpld = 4,
        kHashingUpldSaved = 5,
        kUploading = 6,
        kUploadingNewer = 7,
        kUploadFailed = 8,
        kInStep = 9,
        kStatusCount = 10,
    };

    struct EditRequest {
        std::string token;  // the page's token as compact JSON text (newline included), echoed back
        int32_t share = 0;
        int64_t size = 0;
        int64_t pid = 0;
        int64_t fid = 0;
        std::string name;
        std::string hash;
        bool operator==(const EditRequest&) const = default;
    };
    struct FidName {
        std::string name;
        int64_t fid = 0;
        bool operator==(const FidName&) const = default;
    };

    // One edited file, keyed by its full path in the edit folder.
    struct EditedFile {
        int64_t fid = 0;
        int64_t pid = 0;
        int32_t share = 0;
        std::string token;
        std::string name;
        std::string hash;  // last known content (the page's hash at first)
        int64_t size = 0;
        int32_t status = kOpened;
        bool force = false;  // upload the next hash even when it is unchanged

        // Crash safety: the content the server holds, and the version of the copy that had it.
        std::string uploadedHash;
        int64_t uploadedSize = 0;
        int64_t inStepSize = -1;
        int64_t inStepMtimeNs = 0;
        bool lockMayBeHeld = false;
        // Version of the copy in the hash folder, and of the one waiting to upload.
        int64_t copySize = -1, copyMtimeNs = 0;
        int64_t uploadCopySize = -1, uploadCopyMtimeNs = 0;
        std::string uploadCopyHash;
        int64_t uploadCopyLength = 0;
    };

    // What the manager asks of the other parts. The process's own (LocalEditToolMgr,
    // DirFileChangeMgr, the desktop's opener) unless a test gives others.
    struct Workers {
        std::function<void(const std::vector<std::filesystem::path>&)> hash;
        std::function<void(int64_t fid, const std::string& lockKey)> unlock;
        // Fids whose unlock the server has not answered yet.
        std::function<std::vector<int64_t>()> unansweredUnlocks;
        std::function<void()> startWatcher;
        std::function<void()> stopWatcher;
        std::function<void(const std::filesystem::path&)> open;
    };

    static LocalEditMgr& GetInstance();
    // Tests make their own over a work folder of theirs; `writeQueue` null is the process's.
    LocalEditMgr(std::filesystem::path workDir, Workers workers, CWriteDbMgr* writeQueue);
    virtual ~LocalEditMgr();
    LocalEditMgr(const LocalEditMgr&) = delete;
    LocalEditMgr& operator=(const LocalEditMgr&) = delete;

    // The start of a run: reads what the last run left pending (txlog database at `txlogDb`,
    // empty: the process's), empties the upload and hash folders, moves every left-over edit
    // with nothing pending into "ledir" under the day's date. The rest stays for resumePending.
    void Init(const std::filesystem::path& txlogDb = {});
    // Once the helper and the watcher run: the pending edits of the last run are watched again,
    // their copies hashed (and uploaded when changed), their left-over locks let go.
    void resumePending();
    void SetNotifyWindow(platform::WindowHandle window) { m_notifyWindow = window; }

    // ---- the link thread ----
    void queueEditRequests(const std::vector<EditRequest>& requests);
    std::vector<EditRequest> takeEditRequests();
    // The page's list of edit downloads to cancel replaces any list not applied yet.
    void addFidNameList(const std::vector<FidName>& list);
    std::vector<FidName> takeFidNameList();

    // ---- the dispatcher ----
    // Takes the page's requests as edited files and starts the next download unless one runs.
    void dnldFileForEdit();
    void dnldFinished(int32_t taskId, int32_t state);
    // Applies the page's cancel list: the downloads are stopped, their files dropped.
    void cancelDnlds();
    // The watcher's hand-over: files saved.
    void updateFileChange(const std::vector<std::filesystem::path>& paths);
    // The helper's hash of a copy in the hash folder.
    void updateFileHash(const std::filesystem::path& shaPath, const std::string& hash, int64_t size);
    // Up to `count` versions waiting to upload, as upload records; they become kUploading.
    std::vector<UpldWaitingFile> takeWaitingUploads(size_t count);
    bool HasWaitingUploads() const;
    // The upload of an edited file ended (or was removed): `done` when the server holds it.
    // The lock is let go. False when no edited file has that name in that folder.
    bool uploadEnded(int64_t fid, const std::filesystem::path& uploadFolder, const std::string& name,
                     bool done);
    void reuploadFile(const std::filesystem::path& path);
    // The helper dropped its queued hashes (offline): the copies whose hash was awaited are
    // hashed again.
    void rehashDropped();
    // Offline and closing: the download stops, the edited files are forgotten (what is still
    // pending stays stored for the next start).
    void quitTasks();

    // ---- state ----
    std::optional<EditedFile> GetEditedFile(const std::filesystem::path& path) const;
    std::vector<std::filesystem::path> EditedPaths() const;
    size_t WaitingRequests() const;
    int GetRunning() const { return m_running; }
    const std::filesystem::path& EditDir() const { return m_editDir; }
    const std::filesystem::path& LedirDir() const { return m_ledirDir; }
    const std::filesystem::path& UploadDir() const { return m_upldDir; }
    const std::filesystem::path& ShaDir() const { return m_shaDir; }

    // The time-stamp folder's name for a local time ("%d%.2d%.2d%.2d%.2d%.2d").
    static std::string StampName(const std::tm& local);

private:
    struct DnldEntry {
        int32_t taskId = -1;
        std::filesystem::path path;  // the edited file
        std::string url;
        int64_t size = 0;
        int64_t fid = 0;
        std::string token;
        int32_t share = 0;
        int32_t lastState = 0;
        bool pausedByUser = false;
        std::shared_ptr<CDownloaderMgr> task;
    };
    struct Version {
        int64_t size = -1;
        int64_t mtimeNs = 0;
    };

    LocalEditMgr();
    void addEditRequest(const EditRequest& request);
    void startNextDownload();
    void startOneTxDl(DnldEntry& entry);
    void clearDnldDoneTask(int32_t taskId);
    void cancelDlItem(DnldEntry& entry);
    void DropEdit(const std::filesystem::path& path);

    std::filesystem::path cpFileToShaFold(const std::filesystem::path& path, EditedFile& file);
    bool cpFileToUpldFold(const std::filesystem::path& path, EditedFile& file);
    void QueueHash(const std::filesystem::path& path, EditedFile& file);
    std::optional<std::filesystem::path> EditPathOf(const std::filesystem::path& underFolder,
                                                    const std::filesystem::path& folder) const;
    static Version VersionOf(const std::filesystem::path& path);
    void PostUploadReady();

    std::vector<CWriteDbMgr::EditPendingRecord> LoadPending(const std::filesystem::path& txlogDb);
    // Writes the stored edits when they changed.
    void SavePending();
    CWriteDbMgr& WriteQueue();

    void SetFolders(const std::filesystem::path& workDir);

    // The process's manager may be made (by the link thread) before the options are loaded:
    // its folders follow the options' work folder at Init.
    bool m_followsOptions = false;
    std::filesystem::path m_workDir;
    std::filesystem::path m_dnldDir, m_upldDir, m_editDir, m_shaDir, m_ledirDir;
    Workers m_workers;
    CWriteDbMgr* m_writeQueue = nullptr;
    platform::WindowHandle m_notifyWindow = platform::kNoWindow;

    mutable platform::CriticalSection m_cs;  // the link thread's deposits
    std::vector<EditRequest> m_editRequests;
    std::vector<FidName> m_fidNames;

    // The drop window's thread.
    std::map<std::filesystem::path, EditedFile> m_files;
    std::deque<DnldEntry> m_waiting;
    std::vector<DnldEntry> m_active;
    int m_running = 0;
    std::vector<CWriteDbMgr::EditPendingRecord> m_restored;  // read by Init, for resumePending
    std::vector<CWriteDbMgr::EditPendingRecord> m_lastSaved;
    bool m_saved = false;
    std::string m_lastStamp;  // two edits in one second get distinct folders
};
