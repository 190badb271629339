#include "core/Options.h"

#include <json/json.h>

#include <algorithm>
#include <cstdint>
#include <ctime>

#include "core/CWriteDbMgr.h"
#include "core/CommonUtils.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/ProgramFiles.h"
#include "platform/FileSystem.h"
#include "platform/SystemInfo.h"

namespace fs = std::filesystem;

namespace {

// Table creation texts, executed exactly as written: stored files made by every earlier build
// carry these texts in sqlite_master.
const char* const kConfigTables =
    "CREATE TABLE IF NOT EXISTS userconfig(kind TEXT\t,name TEXT\t,value TEXT\t,UNIQUE (kind, name));"
    "CREATE TABLE IF NOT EXISTS user(id INTEGER PRIMARY KEY , name VARCHAR(260) COLLATE NOCASE, UNIQUE (id));"
    "CREATE TABLE IF NOT EXISTS autobackupdir(id INTEGER PRIMARY KEY , path VARCHAR(260) COLLATE NOCASE, pid\tINT, userid INTERGER, UNIQUE (id));";

const char* const kTxlogTables =
    "CREATE TABLE IF NOT EXISTS config(config VARCHAR(260)\tPRIMARY KEY ,value VARCHAR(260)  ,UNIQUE (config));"
    "CREATE TABLE IF NOT EXISTS last_tx_status(id INTERGER PRIMARY KEY, userid INTERGER, txstatus TINYINT, UNIQUE (id));"
    "CREATE TABLE IF NOT EXISTS drag_dir(id INTEGER PRIMARY KEY , path VARCHAR(260) COLLATE NOCASE, pid\tINT, share TINYINT, userid INTERGER, UNIQUE (id));"
    "CREATE TABLE IF NOT EXISTS undo_files(id INTEGER PRIMARY KEY ,size INT , position INT, "
    " sha VARCHAR(128), fid INT, pid\tINT, path VARCHAR(260) COLLATE NOCASE, name VARCHAR(260)\tCOLLATE NOCASE,"
    " ctime\tINT, mtime INT, type TINYINT, split_num TINYINT, userid INTERGER, UNIQUE (id));"
    "CREATE TABLE IF NOT EXISTS dl_undo(id INTEGER PRIMARY KEY ,size INT , position INT, path VARCHAR(260) COLLATE NOCASE,"
    "url VARCHAR(512)\tCOLLATE NOCASE, split_num TINYINT, userid INTERGER, UNIQUE (id));";

const char* const kLogTables =
    "CREATE TABLE IF NOT EXISTS config(config VARCHAR(260)\tPRIMARY KEY ,value VARCHAR(260)  ,UNIQUE (config));"
    "CREATE TABLE IF NOT EXISTS log(id INTEGER PRIMARY KEY, name\tVARCHAR(260)\tCOLLATE NOCASE, "
    "path\tVARCHAR(260)\tCOLLATE NOCASE\t,size\tINTEGER, type\tTINYINT, userid INTERGER, timestr VARCHAR(260), UNIQUE (id));";

// Log tables made before the history kept its time get the column; old rows keep their values
// with an empty time. The copy runs in one transaction, so a failure half-way leaves the old
// table as it was instead of an empty new one beside a stranded "__temp__log".
const char* const kLogTimeMigration =
    "ALTER TABLE log RENAME TO __temp__log;"
    "CREATE TABLE IF NOT EXISTS log(id INTEGER PRIMARY KEY, name\tVARCHAR(260) COLLATE NOCASE, "
    "path\tVARCHAR(260) COLLATE NOCASE, size\tINTEGER, type\tTINYINT, userid INTERGER, timestr VARCHAR(260), UNIQUE (id));"
    "INSERT INTO log SELECT id, name, path, size, type, userid, '' FROM __temp__log;"
    "DROP TABLE __temp__log;";

const char* const kUserconfigMigration =
    "CREATE TABLE IF NOT EXISTS userconfig(kind TEXT\t,name TEXT\t,value TEXT\t,UNIQUE (kind, name));";
const char* const kAutobackupdirMigration =
    "CREATE TABLE IF NOT EXISTS autobackupdir(id INTEGER PRIMARY KEY , path VARCHAR(260) COLLATE NOCASE, pid\tINT, userid INTERGER, UNIQUE (id, path));";

const char* const kWorkSubFolders[] = {"dnld", "edit", "upld", "sha", "ledir"};

// An XDG base folder: the variable when it holds an absolute path (the XDG rule: relative
// values are ignored), otherwise its default under the home folder.
fs::path XdgDir(const char* variable, const char* defaultUnderHome) {
    fs::path value(platform::EnvOr(variable, ""));
    if (!value.empty() && value.is_absolute()) {
        return value;
    }
    return platform::HomeDir() / defaultUnderHome;
}

fs::path CacheHome() { return XdgDir("XDG_CACHE_HOME", ".cache"); }

// Free space of the filesystem that holds the path, or would hold it once created.
uint64_t FreeSpaceAt(fs::path path) {
    for (;;) {
        if (auto free = platform::FreeDiskSpace(path)) {
            return *free;
        }
        if (!path.has_relative_path()) {
            return 0;
        }
        path = path.parent_path();
    }
}

bool ExecuteInTransaction(DBWrapper& db, const std::string& sql) {
    if (db.executeSQL("BEGIN TRANSACTION;" + sql + "COMMIT TRANSACTION;")) {
        return true;
    }
    db.rollback();
    return false;
}

// Creates the tables of one database unless its test table is already there.
bool CreateTables(const fs::path& path, const std::string& testTable, const char* tables) {
    DBWrapper db(path);
    if (!db.openOrLog("COptions::CreateDatabases")) {
        return false;
    }
    bool ok = db.tableExists(testTable) || ExecuteInTransaction(db, tables);
    if (!ok) {
        LOG(ERROR) << "COptions::CreateDatabases: " << path.string() << ": " << db.errorText();
    }
    db.close();
    return ok;
}

}  // namespace

COptions& COptions::GetInstance() {
    static COptions* instance = new COptions();  // lives until process exit
    return *instance;
}

COptions::COptions() {
    m_programDir = platform::ExecutableDir();
    ComputeDates();
    GenerateUrls();
}

COptions::~COptions() = default;

void COptions::ComputeDates() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_startDate = fmt::sprintf("%d%.2d%.2d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    m_shortStartDate =
        fmt::sprintf("%d-%.2d-%.2d", (local.tm_year + 1900) % 2000, local.tm_mon + 1, local.tm_mday);
    m_logFileName = fmt::sprintf("mg_log_%d_%.2d_%.2d_%.2d_%.2d_%.2d.log", local.tm_year + 1900,
                                 local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                 local.tm_sec);
}

fs::path COptions::GetProgramDir() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_programDir;
}

fs::path COptions::GetUserDataDir() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_userDataDir;
}

fs::path COptions::GetWorkDir() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_workDir;
}

fs::path COptions::GetDatabasePath(const char* name) const { return GetUserDataDir() / name; }

std::string COptions::GetStartDate() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_startDate;
}

std::string COptions::GetShortStartDate() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shortStartDate;
}

std::string COptions::GetLogFileName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_logFileName;
}

std::string COptions::GetUserAccount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_userAccount;
}

void COptions::ClearCookies() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cookies.clear();
}

void COptions::AddCookie(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (name == "cookieUserAccount") {
        m_userAccount = value;
    } else if (name == "cookieUid") {
        m_uid = CommonUtils::StringToInt64(value).value_or(0);
    }
    m_cookies.emplace_back(name, value);
}

void COptions::RebuildCookieStrings() {
    static const std::string kSessionCookie = "QSESSIONID";
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cookieString.clear();
    for (const auto& [name, value] : m_cookies) {
        // The session cookie: a name made only of the letters of "QSESSIONID" that contains it.
        if (name.find(kSessionCookie) != std::string::npos &&
            name.find_first_not_of(kSessionCookie) == std::string::npos) {
            m_sessionString = "qSessionId" + name.substr(std::min<size_t>(10, name.size())) + "=" + value;
        }
        m_cookieString += name + "=" + value + ";";
    }
}

std::vector<std::pair<std::string, std::string>> COptions::GetCookies() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cookies;
}

std::string COptions::GetSessionString() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessionString;
}

std::string COptions::GetCookieString() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cookieString;
}

void COptions::SetProxy(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (text.find("socks5") != std::string::npos) {
        // A SOCKS5 proxy always resolves host names on the proxy side.
        m_proxy = "socks5h" + (text.size() > 6 ? text.substr(6) : std::string());
    } else {
        m_proxy = text;
    }
}

std::string COptions::GetProxy() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_proxy;
}

bool COptions::ShouldUseProxy() const {
    int type = m_proxyType;
    std::lock_guard<std::mutex> lock(m_mutex);
    return (type == 1 || type == 2) && !m_proxy.empty();
}

void COptions::GenerateUrls() {
    std::string host;
    for (const auto& candidate : ProgramFiles::Candidates(GetProgramDir(), "appConfig")) {
        std::error_code ec;
        if (!fs::exists(candidate, ec)) {
            continue;
        }
        auto text = CommonUtils::ReadWholeFile(candidate);
        Json::Value root;
        if (text && CommonUtils::ParseJson(*text, root) &&
            root.isObject() && root["host"].isString() &&
            root["host"].asString().find('.') != std::string::npos) {
            host = root["host"].asString();
        }
        break;  // the first file found decides
    }
    if (host.empty()) {
        VLOG(1) << "COptions::genereateUrls() use default urls";
        host = kDefaultWebHost;
    }
    const std::string domain = host.substr(host.find('.') + 1);
    ServerUrls urls;
    urls.webHost = host;
    urls.webHostLine = "Host web." + domain;
    urls.downloadHostLine = "Host download." + domain;
    urls.download = "http://download." + domain + "/qcd/fileshare/downloadFileAction.json?";
    urls.getFileByName = "http://" + host + "/qcd/getFileByNameAction.json";
    urls.breakPointUpload = "http://" + host + "/qcd/filebackup/breakPointUploadAction.json?";
    urls.breakPointUploadInit = "http://" + host + "/qcd/filebackup/breakPointUploadInitAction.json?";
    urls.createPath = "http://" + host + "/qcd/filebackup/createPathAction.json?";
    urls.getSubFiles = "http://" + host + "/qcd/filebackup/getSubFilesAction.json?";
    urls.getFile = "http://" + host + "/qcd/filebackup/getFileAction.json?";
    urls.deleteFile = "http://" + host + "/qcd/filebackup/deleteFileAction.json?";
    urls.lockFile = "http://" + host + "/qcd/fileshare/lockFileByAppAction.json?";
    urls.unlockFile = "http://" + host + "/qcd/fileshare/unlockFileByAppAction.json?";
    std::lock_guard<std::mutex> lock(m_mutex);
    m_urls = std::move(urls);
}

COptions::ServerUrls COptions::GetUrls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_urls;
}

// ---- load ----

void COptions::FindUserDataDir() {
    fs::path dir = XdgDir("XDG_DATA_HOME", ".local/share") / "Quorva" / "User Data";
    std::lock_guard<std::mutex> lock(m_mutex);
    m_userDataDir = dir;
}

// The three databases stay or are rebuilt together: a missing one means the others no longer
// match it (its rows refer to users and folders of the others).
void COptions::CheckDatabaseFolder() {
    std::error_code ec;
    bool allThere = true;
    for (const char* name : {DBWrapper::kConfigDb, DBWrapper::kTxlogDb, DBWrapper::kLogDb}) {
        allThere = allThere && fs::exists(GetDatabasePath(name), ec);
    }
    if (allThere) {
        MigrateDatabases();
        m_needCreateDatabases = false;
        return;
    }
    CommonUtils::DeleteFolderTree(GetUserDataDir() / "zor", true);
    m_needCreateDatabases = true;
}

bool COptions::MakeDatabaseFolders() {
    const fs::path userData = GetUserDataDir();
    return CommonUtils::MakeFolderPath(userData) && CommonUtils::MakeFolderPath(userData / "zor") &&
           CommonUtils::MakeFolderPath(userData / "zor" / "cache");
}

bool COptions::CreateDatabases() {
    return CreateTables(GetDatabasePath(DBWrapper::kConfigDb), "userconfig", kConfigTables) &&
           CreateTables(GetDatabasePath(DBWrapper::kTxlogDb), "drag_dir", kTxlogTables) &&
           CreateTables(GetDatabasePath(DBWrapper::kLogDb), "log", kLogTables);
}

void COptions::MigrateDatabases() {
    DBWrapper logDb(GetDatabasePath(DBWrapper::kLogDb));
    if (logDb.openOrLog("COptions::MigrateDatabases")) {
        if (logDb.query("SELECT sql FROM sqlite_master WHERE type='table' and name='log';") &&
            !logDb.rows().empty() && !logDb.rows()[0].empty() &&
            logDb.rows()[0][0].find("timestr") == std::string::npos) {
            if (!ExecuteInTransaction(logDb, kLogTimeMigration)) {
                LOG(ERROR) << "COptions::MigrateDatabases: log: " << logDb.errorText();
            }
        }
        logDb.close();
    }
    DBWrapper configDb(GetDatabasePath(DBWrapper::kConfigDb));
    if (configDb.openOrLog("COptions::MigrateDatabases")) {
        configDb.executeSQL(kUserconfigMigration);
        configDb.executeSQL(kAutobackupdirMigration);
        configDb.close();
    }
}

void COptions::ReadSettings() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_workDir.clear();
        m_floatWndPos.reset();
        m_mainWndPos.reset();
    }
    m_floatWndShow = true;
    m_lastExitTime = 0;
    m_autoBackupSpeed = 0;

    DBWrapper db(GetDatabasePath(DBWrapper::kConfigDb));
    if (!db.openOrLog("COptions::ReadSettings")) {
        return;
    }
    if (db.query("SELECT * FROM userconfig WHERE kind='folders';")) {
        for (const auto& row : db.rows()) {
            if (row.size() < 3) {
                continue;  // a NULL name or value
            }
            const std::string& name = row[1];
            const std::string& value = row[2];
            if (name == "work_dir") {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_workDir = value;
            } else if (name == "float_wnd_show") {
                m_floatWndShow = CommonUtils::StringToInt64(value).value_or(0) == 1;
            } else if (name == "float_wnd_pos" || name == "main_wnd_pos") {
                // "x,y"; anything else is no position.
                const size_t comma = value.find(',');
                const auto x = CommonUtils::StringToInt64(value.substr(0, comma));
                const auto y = comma == std::string::npos
                                   ? std::nullopt
                                   : CommonUtils::StringToInt64(value.substr(comma + 1));
                if (x && y && *x > INT32_MIN && *x < INT32_MAX && *y > INT32_MIN && *y < INT32_MAX) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    (name == "float_wnd_pos" ? m_floatWndPos : m_mainWndPos) =
                        std::make_pair(static_cast<int>(*x), static_cast<int>(*y));
                }
            } else if (name == "last_exit_time") {
                m_lastExitTime = CommonUtils::StringToInt64(value).value_or(0);
            } else if (name == "auto_backup_speed") {
                m_autoBackupSpeed = static_cast<int>(CommonUtils::StringToInt64(value).value_or(0));
            }
        }
    }
    db.close();
}

// The stored folder when it still exists (a removable disk may be gone), otherwise a new one.
bool COptions::EnsureWorkFolder() {
    std::error_code ec;
    fs::path workDir = GetWorkDir();
    bool ok = true;
    if (workDir.empty() || !workDir.is_absolute() || !fs::is_directory(workDir, ec)) {
        ok = handleInitWorkFold();
    }
    if (ok) {
        CommonUtils::MakeFolderPath(GetWorkDir() / "ledir");
    }
    return ok;
}

bool COptions::Load() {
    {
        fs::path programDir = platform::ExecutableDir();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_programDir = programDir;
    }
    FindUserDataDir();
    CheckDatabaseFolder();
    if (m_needCreateDatabases && (!MakeDatabaseFolders() || !CreateDatabases())) {
        return false;
    }
    ReadSettings();
    bool result = EnsureWorkFolder();
    ComputeDates();
    GenerateUrls();
    return result;
}

bool COptions::ResetAndLoad() {
    FindUserDataDir();
    CommonUtils::DeleteFolderTree(GetUserDataDir() / "zor", true);
    if (MakeDatabaseFolders()) {
        CreateDatabases();
    }
    m_needCreateDatabases = false;
    ReadSettings();
    return EnsureWorkFolder();
}

// ---- work folder ----

fs::path COptions::ChooseWorkFolder(const std::vector<WorkFolderCandidate>& candidates,
                                    const fs::path& fallback) {
    constexpr uint64_t kGiB = uint64_t(1) << 30;
    fs::path chosen = fallback;
    uint64_t bestGiB = 0;
    for (const auto& candidate : candidates) {
        uint64_t gib = candidate.freeBytes / kGiB;
        if (gib >= 1 && gib > bestGiB) {
            bestGiB = gib;
            chosen = candidate.folder;
        }
    }
    return chosen;
}

std::vector<COptions::WorkFolderCandidate> COptions::GetWorkFolderCandidates() const {
    std::vector<WorkFolderCandidate> candidates;
    const fs::path cache = CacheHome();
    candidates.push_back({cache / "quorvacache", FreeSpaceAt(cache)});

    std::optional<std::vector<fs::path>> mounts;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        mounts = m_workFolderMounts;
    }
    if (!mounts) {
        // Only disks the user mounted for data: never the root or system filesystems, where a
        // folder would litter the machine (and, for root, "/" itself is writable).
        std::vector<std::string> prefixes = {"/media/", "/mnt/"};
        std::string user = platform::EnvOr("USER", platform::EnvOr("LOGNAME", ""));
        if (!user.empty()) {
            prefixes.push_back("/run/media/" + user + "/");
        }
        mounts.emplace();
        for (const auto& mount : platform::LocalFilesystemMounts()) {
            const std::string text = mount.string();
            for (const auto& prefix : prefixes) {
                if (text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0) {
                    mounts->push_back(mount);
                    break;
                }
            }
        }
    }
    for (const auto& mount : *mounts) {
        if (!platform::IsWritableDir(mount)) {
            continue;
        }
        candidates.push_back({mount / "quorvacache", platform::FreeDiskSpace(mount).value_or(0)});
    }
    return candidates;
}

void COptions::SetWorkFolderMounts(std::optional<std::vector<fs::path>> mounts) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_workFolderMounts = std::move(mounts);
}

bool COptions::handleInitWorkFold() {
    const fs::path folder = ChooseWorkFolder(GetWorkFolderCandidates(), CacheHome() / "quorvacache");
    std::error_code ec;
    if (!fs::is_directory(folder, ec) && !CommonUtils::MakeFolderPath(folder)) {
        LOG(ERROR) << "COptions::handleInitWorkFold() create quorvacache failed.";
        return false;
    }
    for (const char* sub : kWorkSubFolders) {
        CommonUtils::MakeFolderPath(folder / sub);
    }
    SaveSetting("work_dir", folder.string());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_workDir = folder;
    return true;
}
