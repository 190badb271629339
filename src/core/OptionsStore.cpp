// What COptions keeps in the config database besides the folders: the settings, the signed-in
// user's row and the automatic-backup folders.
#include <algorithm>
#include <ctime>

#include "core/CWriteDbMgr.h"
#include "core/CommonUtils.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/Options.h"

namespace fs = std::filesystem;

namespace {

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

}  // namespace

// ---- settings ----

bool COptions::SaveSetting(const std::string& name, const std::string& value) {
    DBWrapper db(GetDatabasePath(DBWrapper::kConfigDb));
    if (!db.openOrLog("COptions::SaveSetting")) {
        return false;
    }
    bool ok = db.executeSQL("REPLACE INTO userconfig VALUES('folders','" + DBWrapper::EscapeText(name) + "','" +
                            DBWrapper::EscapeText(value) + "');");
    if (!ok) {
        LOG(ERROR) << "COptions::SaveSetting: " << name << ": " << db.errorText();
    }
    db.close();
    return ok;
}

void COptions::SetFloatWndShow(bool show) {
    m_floatWndShow = show;
    SaveSetting("float_wnd_show", show ? "1" : "0");
}

std::optional<std::pair<int, int>> COptions::GetFloatWndPos() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_floatWndPos;
}

void COptions::SetFloatWndPos(int x, int y) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_floatWndPos = std::make_pair(x, y);
    }
    SaveSetting("float_wnd_pos", std::to_string(x) + "," + std::to_string(y));
}

std::optional<std::pair<int, int>> COptions::GetMainWndPos() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mainWndPos;
}

void COptions::SetMainWndPos(int x, int y) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mainWndPos = std::make_pair(x, y);
    }
    SaveSetting("main_wnd_pos", std::to_string(x) + "," + std::to_string(y));
}

void COptions::SetExitTimeLimit(std::function<int64_t(int64_t)> limit) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_exitTimeLimit = std::move(limit);
}

void COptions::SaveLastExitTime() {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    std::function<int64_t(int64_t)> limit;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        limit = m_exitTimeLimit;
    }
    const int64_t stored = limit ? std::min(now, limit(now)) : now;
    if (stored != now) {
        LOGF(INFO, "COptions - last exit time stored as %lld, %lld s before now: changes since "
             "then were not handed over", static_cast<long long>(stored),
             static_cast<long long>(now - stored));
    }
    SaveSetting("last_exit_time", std::to_string(stored));
}

void COptions::SetAutoBackupSpeed(int speed) {
    m_autoBackupSpeed = speed;
    SaveSetting("auto_backup_speed", std::to_string(speed));
}

// ---- user ----

bool COptions::LookupUser() {
    std::error_code ec;
    const fs::path configPath = GetDatabasePath(DBWrapper::kConfigDb);
    if (!fs::exists(configPath, ec)) {
        return false;
    }
    DBWrapper db(configPath);
    if (!db.openOrLog("COptions::LookupUser")) {
        return false;
    }
    int userId = 0;
    if (db.query("select * from user where name='" + DBWrapper::EscapeText(GetUserAccount()) + "';") &&
        db.rows().size() == 1 && !db.rows()[0].empty()) {
        userId = static_cast<int>(CommonUtils::StringToInt64(db.rows()[0][0]).value_or(0));
    }
    // Unknown account: no id until it is inserted, so that nothing is stored under the
    // previous user's id meanwhile.
    m_userId = userId;
    if (userId == 0) {
        db.close();
        return false;
    }
    std::vector<BackupRecord> records;
    if (db.query("SELECT * FROM autobackupdir WHERE userid= " + std::to_string(userId) + ";")) {
        for (const auto& row : db.rows()) {
            if (row.size() < 3) {
                continue;
            }
            fs::path path(row[1]);
            if (fs::is_directory(path, ec)) {
                records.push_back({path, CommonUtils::StringToInt64(row[2]).value_or(-1)});
            }
        }
    }
    db.close();
    std::vector<fs::path> paths;
    for (const auto& record : records) {
        paths.push_back(record.path);
    }
    {
        // The lists are the user's: a repeated lookup replaces them instead of adding twice.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_backupRecords = records;
        m_backupPaths = paths;
    }
    CommonUtils::SetFolderIcons(paths, true);
    return true;
}

bool COptions::InsertUser() {
    DBWrapper db(GetDatabasePath(DBWrapper::kConfigDb));
    if (!db.openOrLog("COptions::InsertUser")) {
        m_userId = 0;
        return false;
    }
    const bool ok = db.executeSQL("INSERT INTO user VALUES(NULL,'" +
                                  DBWrapper::EscapeText(GetUserAccount()) + "');");
    if (ok && db.query("SELECT last_insert_rowid();") && db.rows().size() == 1 &&
        !db.rows()[0].empty()) {
        m_userId = static_cast<int>(CommonUtils::StringToInt64(db.rows()[0][0]).value_or(0));
    } else {
        // No row names this account: what this run stores goes under no user's id rather
        // than under the id the next account to sign in would be given.
        LOG(ERROR) << "COptions::InsertUser: " << db.errorText()
                   << "; this run's transfers are stored under no account";
        m_userId = 0;
    }
    db.close();
    return m_userId > 0;
}

// ---- automatic backup folders ----

std::vector<COptions::BackupRecord> COptions::GetBackupRecords() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_backupRecords;
}

std::vector<fs::path> COptions::GetBackupPaths(bool clearAddedAndRemoved) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (clearAddedAndRemoved) {
        m_addedPaths.clear();
        m_removedPaths.clear();
    }
    return m_backupPaths;
}

void COptions::SetBackupPaths(const std::vector<fs::path>& paths) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_backupPaths = paths;
}

std::vector<fs::path> COptions::GetAddedPaths() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_addedPaths;
}

std::vector<fs::path> COptions::GetRemovedPaths() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_removedPaths;
}

bool COptions::IsBackupPath(const fs::path& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string text = path.string();
    return std::any_of(m_backupPaths.begin(), m_backupPaths.end(),
                       [&](const fs::path& p) { return EqualsIgnoringAsciiCase(p.string(), text); });
}

void COptions::RemoveBackupPath(const fs::path& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase(m_backupPaths, path);
    std::erase(m_addedPaths, path);
}

void COptions::ApplyBackupSelection() {
    std::vector<fs::path> removed;
    std::vector<fs::path> added;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_removedPaths.clear();
        std::vector<BackupRecord> kept;
        for (auto& record : m_backupRecords) {
            if (std::find(m_backupPaths.begin(), m_backupPaths.end(), record.path) ==
                m_backupPaths.end()) {
                m_removedPaths.push_back(record.path);
            } else {
                kept.push_back(record);
            }
        }
        m_backupRecords = std::move(kept);
        m_addedPaths.clear();
        for (const auto& path : m_backupPaths) {
            bool known = std::any_of(m_backupRecords.begin(), m_backupRecords.end(),
                                     [&](const BackupRecord& r) { return r.path == path; });
            if (!known && std::find(m_addedPaths.begin(), m_addedPaths.end(), path) ==
                              m_addedPaths.end()) {
                m_addedPaths.push_back(path);
            }
        }
        for (const auto& path : m_addedPaths) {
            m_backupRecords.push_back({path, -1});
        }
        m_backupPaths.clear();
        for (const auto& record : m_backupRecords) {
            m_backupPaths.push_back(record.path);
        }
        removed = m_removedPaths;
        added = m_addedPaths;
    }
    // Outside the lock: the icons run helper programs and the write queue takes its own lock.
    if (!removed.empty()) {
        CommonUtils::SetFolderIcons(removed, false);
        CWriteDbMgr::GetInstance().RemoveBackupDirs(removed);
    }
    if (!added.empty()) {
        CommonUtils::SetFolderIcons(added, true);
        std::vector<std::pair<fs::path, int64_t>> rows;
        for (const auto& path : added) {
            rows.emplace_back(path, -1);
        }
        CWriteDbMgr::GetInstance().AddBackupDirs(rows);
    }
}

void COptions::ClearBackupFolders() {
    std::vector<fs::path> folders;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        folders = m_backupPaths;
        for (const auto& record : m_backupRecords) {
            if (std::find(folders.begin(), folders.end(), record.path) == folders.end()) {
                folders.push_back(record.path);
            }
        }
        m_backupRecords.clear();
        m_backupPaths.clear();
        m_addedPaths.clear();
        m_removedPaths.clear();
    }
    CommonUtils::SetFolderIcons(folders, false);
}
