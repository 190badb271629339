#include "core/DBWrapper.h"

#include <sqlite3.h>

#include <algorithm>
#include <system_error>

#include "core/Logging.h"

namespace fs = std::filesystem;

std::atomic<bool> DBWrapper::s_useWriteAheadLog{true};

DBWrapper::DBWrapper(fs::path path) { setPath(path); }

DBWrapper::~DBWrapper() { close(); }

void DBWrapper::setPath(const fs::path& path) {
    m_path = path;
    // Linux paths are bytes and std::string keeps them as they are: UTF-8 for every path this
    // program makes.
    m_pathUtf8 = path.string();
}

bool DBWrapper::CheckHeader() {
    // The header is read through SQLite's own file handle. A descriptor of our own would drop,
    // when closed, every POSIX lock this process holds on the file, the locks of the other
    // connections included (that is how Linux file locks work), and their writes would fail.
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        !file || !file->pMethods) {
        return true;  // nothing opened yet: SQLite creates the file on first write
    }
    sqlite3_int64 size = 0;
    if (file->pMethods->xFileSize(file, &size) != SQLITE_OK) {
        m_errorText = "File could not be read";
        return false;
    }
    if (size == 0) {
        // SQLite leaves a file of zero bytes when a connection is opened and closed without
        // writing; it is an empty database, not a foreign file, and refusing it would make
        // that database unusable for good.
        return true;
    }
    char header[16] = {};
    const int want = static_cast<int>(std::min<sqlite3_int64>(size, sizeof(header)));
    if (file->pMethods->xRead(file, header, want, 0) != SQLITE_OK) {
        m_errorText = "File could not be read";
        return false;
    }
    if (std::string(header, static_cast<size_t>(want)).find("SQLite format 3") ==
        std::string::npos) {
        m_errorText = "File is not a SQLite 3 database";
        return false;
    }
    return true;
}

bool DBWrapper::openOrLog(const char* who) {
    if (open()) {
        return true;
    }
    LOG(ERROR) << who << ": cannot open " << m_path.string() << ": " << errorText();
    return false;
}

bool DBWrapper::open() {
    if (m_db) {
        close();
    }
    std::error_code ec;
    const auto status = fs::status(m_path, ec);
    if (!ec && fs::exists(status) && !fs::is_regular_file(status)) {
        m_errorText = "File could not be read";
        return false;
    }
    m_errorText = "no error";
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(m_pathUtf8.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    if (rc != SQLITE_OK) {
        m_errorText = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        return false;
    }
    m_db = db;
    if (!CheckHeader()) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return false;
    }
    // Another connection's transaction (the window thread reading while a pool thread writes)
    // is waited for a moment instead of failing the statement at once.
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    if (!executeSQL("PRAGMA empty_result_callbacks = ON;") ||
        !executeSQL("PRAGMA show_datatypes = ON;")) {
        return false;
    }
    ApplyJournalMode();
    m_executed = false;
    return true;
}

void DBWrapper::ApplyJournalMode() {
    if (!s_useWriteAheadLog) {
        return;
    }
    // The mode is stored in the file, so this changes the file once and is a no-op later. In
    // write-ahead-log mode a commit is one append to the log and synchronous=NORMAL drops the
    // sync per commit: a committed transaction still survives the process being killed (the
    // log is in the kernel's hands), and the file stays consistent on power loss.
    std::string mode;
    auto keepMode = [](void* out, int columns, char** values, char**) -> int {
        if (columns > 0 && values[0]) {
            *static_cast<std::string*>(out) = values[0];
        }
        return 0;
    };
    char* error = nullptr;
    if (sqlite3_exec(m_db, "PRAGMA journal_mode=WAL;", keepMode, &mode, &error) != SQLITE_OK) {
        VLOGF(1, "DBWrapper::open: journal mode of %s stays: %s", m_pathUtf8,
              error ? error : "unknown error");
        sqlite3_free(error);
        return;
    }
    if (mode == "wal") {
        sqlite3_exec(m_db, "PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    }
}

bool DBWrapper::executeSQL(const std::string& sql) {
    if (!m_db) {
        m_errorText = "database is not open";
        return false;
    }
    m_executed = true;
    char* error = nullptr;
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        m_errorText = error ? error : sqlite3_errmsg(m_db);
        sqlite3_free(error);
        VLOG(1) << "DBWrapper::executeSQL:";
        VLOG(1) << sql << ", error " << m_errorText;
        return false;
    }
    return true;
}

void DBWrapper::rollback() {
    if (m_db) {
        sqlite3_exec(m_db, "ROLLBACK TRANSACTION;", nullptr, nullptr, nullptr);
    }
}

bool DBWrapper::query(const std::string& sql) {
    clearResult();
    if (!m_db) {
        m_errorText = "database is not open";
        return false;
    }
    const char* next = sql.c_str();
    while (next && *next) {
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(m_db, next, -1, &stmt, &tail) != SQLITE_OK) {
            m_errorText = sqlite3_errmsg(m_db);
            VLOG(1) << "DBWrapper::query: " << sql << ", error " << m_errorText;
            return false;
        }
        next = tail;
        if (!stmt) {
            continue;  // blank text or a lone comment
        }
        const int columns = sqlite3_column_count(stmt);
        if (columns > 0 && m_columnNames.empty()) {
            for (int i = 0; i < columns; ++i) {
                const char* name = sqlite3_column_name(stmt, i);
                const char* type = sqlite3_column_decltype(stmt, i);
                m_columnNames.emplace_back(name ? name : "");
                m_columnTypes.emplace_back(type ? type : "");
            }
        }
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < columns; ++i) {
                if (sqlite3_column_type(stmt, i) == SQLITE_NULL) {
                    continue;
                }
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
                row.emplace_back(text ? std::string(text, sqlite3_column_bytes(stmt, i))
                                      : std::string());
            }
            if (!row.empty()) {
                m_rows.push_back(std::move(row));
            }
        }
        if (rc != SQLITE_DONE) {
            m_errorText = sqlite3_errmsg(m_db);
            sqlite3_finalize(stmt);
            VLOG(1) << "DBWrapper::query: " << sql << ", error " << m_errorText;
            return false;
        }
        sqlite3_finalize(stmt);
    }
    return true;
}

void DBWrapper::clearResult() {
    m_columnNames.clear();
    m_columnTypes.clear();
    m_rows.clear();
}

bool DBWrapper::tableExists(const std::string& table) {
    return query("SELECT * FROM sqlite_master WHERE type='table' and name='" + EscapeText(table) +
                 "';") &&
           !m_rows.empty();
}

void DBWrapper::close() {
    if (m_db) {
        if (!m_executed) {
            // A reader that failed half-way may have left a transaction open; undo it. The
            // word after TRANSACTION is only a name, so this is a plain rollback, and without
            // an open transaction it fails harmlessly.
            sqlite3_exec(m_db, "ROLLBACK TRANSACTION RESTOREPOINT;", nullptr, nullptr, nullptr);
        }
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
    m_executed = false;
    clearResult();
}

std::string DBWrapper::EscapeText(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size() + 2);
    for (char c : text) {
        escaped.push_back(c);
        if (c == '\'') {
            escaped.push_back('\'');
        }
    }
    return escaped;
}

void DBWrapper::SetUseWriteAheadLog(bool use) { s_useWriteAheadLog = use; }

bool DBWrapper::UsesWriteAheadLog() { return s_useWriteAheadLog; }
