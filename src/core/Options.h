#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Message.h"

// Everything that is configured rather than computed: the folders the process works in, the
// persisted settings, the signed-in user and the cookies the page handed over, the proxy, the
// automatic-backup folders and the server URLs. One instance for the process, loaded once at
// start-up and read by every subsystem.
//
// Texts can be replaced by the link thread while workers read them, so every text is read as
// a copy under the object's lock; numbers are atomics.
class COptions {
public:
    static COptions& GetInstance();
    virtual ~COptions();

    // ---- start-up ----
    // First attempt: true when a work folder is known and exists.
    bool Load();
    // Second attempt after a failed Load: rebuild the databases, then settings and work folder.
    bool ResetAndLoad();

    // ---- work folder ----
    // Chooses, creates and stores the work folder with its five sub-folders ("dnld", "edit",
    // "upld", "sha", "ledir"). False when the folder cannot be created.
    bool handleInitWorkFold();
    struct WorkFolderCandidate {
        std::filesystem::path folder;  // the "quorvacache" folder it would be
        uint64_t freeBytes = 0;        // free on its filesystem
    };
    // The candidate with the most whole GiB free; a later one wins only with strictly more,
    // and less than 1 GiB never wins; `fallback` when none does.
    static std::filesystem::path ChooseWorkFolder(const std::vector<WorkFolderCandidate>& candidates,
                                                  const std::filesystem::path& fallback);
    // The cache folder's filesystem first ($XDG_CACHE_HOME/quorvacache), then every
    // user-writable local filesystem mounted under /media, /run/media/$USER or /mnt.
    std::vector<WorkFolderCandidate> GetWorkFolderCandidates() const;
    // Replaces the scan of mounted filesystems (tests: the machine's own disks must not be
    // touched); nullopt restores the scan.
    void SetWorkFolderMounts(std::optional<std::vector<std::filesystem::path>> mounts);

    // ---- folders and names ----
    std::filesystem::path GetProgramDir() const;    // folder of the executable
    std::filesystem::path GetUserDataDir() const;   // $XDG_DATA_HOME/Quorva/User Data
    std::filesystem::path GetWorkDir() const;       // the "quorvacache" work folder
    std::filesystem::path GetDatabasePath(const char* name) const;  // "zor/config" ...
    std::string GetStartDate() const;       // "%d%.2d%.2d"
    std::string GetShortStartDate() const;  // "%d-%.2d-%.2d", year modulo 2000
    std::string GetLogFileName() const;     // "mg_log_%d_%.2d_%.2d_%.2d_%.2d_%.2d.log"
    bool NeedCreateDatabases() const { return m_needCreateDatabases; }

    // ---- persisted settings (table userconfig, kind "folders") ----
    bool IsFloatWndShow() const { return m_floatWndShow; }
    void SetFloatWndShow(bool show);
    // Where the user last left the drop window (its top-left corner), nullopt when it never
    // was moved; stored as "x,y".
    std::optional<std::pair<int, int>> GetFloatWndPos() const;
    void SetFloatWndPos(int x, int y);
    // The same for the transfer manager.
    std::optional<std::pair<int, int>> GetMainWndPos() const;
    void SetMainWndPos(int x, int y);
    // The previous run's exit, as loaded; saving "now" at exit does not change it.
    int64_t GetLastExitTime() const { return m_lastExitTime; }
    void SaveLastExitTime();
    int GetAutoBackupSpeed() const { return m_autoBackupSpeed; }
    void SetAutoBackupSpeed(int speed);

    // ---- user and page identity ----
    // Looks up the current account in table user (and its backup folders). True when found.
    bool LookupUser();
    // Inserts the current account; its id becomes MAX(id) + 1 (1 on an empty table).
    bool InsertUser();
    int GetUserId() const { return m_userId; }
    void SetUserId(int id) { m_userId = id; }
    std::string GetUserAccount() const;
    int64_t GetUid() const { return m_uid; }

    void ClearCookies();
    // Adds one pair; "cookieUserAccount" and "cookieUid" also set the account and the uid.
    void AddCookie(const std::string& name, const std::string& value);
    // Rebuilds the session string and the cookie string from the cookie list.
    void RebuildCookieStrings();
    std::vector<std::pair<std::string, std::string>> GetCookies() const;
    std::string GetSessionString() const;  // "qSessionId=<value of QSESSIONID>"
    std::string GetCookieString() const;   // "name=value;" for each cookie, in order

    // "socks5..." becomes "socks5h" + the text after its first six characters.
    void SetProxy(const std::string& text);
    std::string GetProxy() const;
    int GetProxyType() const { return m_proxyType; }
    // A proxy is used only when the type is 1 or 2 and the proxy text is not empty.
    bool ShouldUseProxy() const;

    // ---- automatic backup folders ----
    struct BackupRecord {
        std::filesystem::path path;
        int64_t pid = -1;
    };
    std::vector<BackupRecord> GetBackupRecords() const;
    std::vector<std::filesystem::path> GetBackupPaths(bool clearAddedAndRemoved = false);
    void SetBackupPaths(const std::vector<std::filesystem::path>& paths);
    bool IsBackupPath(const std::filesystem::path& path) const;  // case-insensitive
    void RemoveBackupPath(const std::filesystem::path& path);
    // The backup settings window stored a new selection in the backup paths: store the
    // difference (records, icons, table autobackupdir through the write queue).
    void ApplyBackupSelection();
    void ClearBackupFolders();  // also takes the folder icons off

    // ---- server URLs ----
    struct ServerUrls {
        std::string webHost;           // H
        std::string webHostLine;       // "Host web." + D
        std::string downloadHostLine;  // "Host download." + D
        std::string download;
        std::string getFileByName;
        std::string breakPointUpload;
        std::string breakPointUploadInit;
        std::string createPath;
        std::string getSubFiles;
        std::string getFile;
        std::string deleteFile;
        std::string lockFile;
        std::string unlockFile;
    };
    // Reads "appConfig" (program folder, installed data folder, user configuration folder:
    // ProgramFiles) and fills the URLs.
    void GenerateUrls();
    ServerUrls GetUrls() const;
    static constexpr const char* kDefaultWebHost = "web.localhost:18080";

    // ---- values kept for other subsystems ----
    std::atomic<int> m_splitNum{8};           // also the download's maximum connections
    std::atomic<int> m_retryCount{5};
    std::atomic<int> m_speedLimitKiB{0};      // KiB per second, 0 = none
    std::atomic<bool> m_keepDownloadCache{false};
    std::atomic<bool> m_keepUploadStaging{false};
    std::atomic<int> m_lastTxStatus{5};       // the transfer state stored at the last exit
    std::atomic<int> m_fileCount1{0};         // the dispatcher's two file counters
    std::atomic<int> m_fileCount2{0};
    std::atomic<int> m_exitRequest{17};       // 1 = the page asked to quit, 17 = none
    std::atomic<uint16_t> m_uiLanguage{1033};

    // ---- windows ----
    std::atomic<platform::WindowHandle> m_hDndWnd{platform::kNoWindow};
    std::atomic<platform::WindowHandle> m_hMainWnd{platform::kNoWindow};

    // Writes one row of table userconfig (kind "folders") on a connection of its own.
    bool SaveSetting(const std::string& name, const std::string& value);

private:
    COptions();
    void ComputeDates();
    void FindUserDataDir();
    void CheckDatabaseFolder();
    bool MakeDatabaseFolders();
    bool CreateDatabases();
    void MigrateDatabases();
    void ReadSettings();
    bool EnsureWorkFolder();

    mutable std::mutex m_mutex;  // guards every text and list below
    std::filesystem::path m_programDir;
    std::filesystem::path m_userDataDir;
    std::filesystem::path m_workDir;
    std::string m_startDate;
    std::string m_shortStartDate;
    std::string m_logFileName;

    std::atomic<bool> m_needCreateDatabases{true};
    std::atomic<bool> m_floatWndShow{true};
    std::optional<std::pair<int, int>> m_floatWndPos;  // under m_mutex
    std::optional<std::pair<int, int>> m_mainWndPos;   // under m_mutex
    std::atomic<int64_t> m_lastExitTime{0};
    std::atomic<int> m_autoBackupSpeed{0};

    std::vector<std::pair<std::string, std::string>> m_cookies;
    std::string m_userAccount;
    std::atomic<int64_t> m_uid{0};
    std::atomic<int> m_userId{0};
    std::string m_sessionString;
    std::string m_cookieString;
    std::atomic<int> m_proxyType{2};
    std::string m_proxy;

    std::vector<BackupRecord> m_backupRecords;
    std::vector<std::filesystem::path> m_backupPaths;
    std::vector<std::filesystem::path> m_addedPaths;
    std::vector<std::filesystem::path> m_removedPaths;

    ServerUrls m_urls;
    std::optional<std::vector<std::filesystem::path>> m_workFolderMounts;
};
