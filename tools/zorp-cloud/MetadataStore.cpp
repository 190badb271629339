#include "MetadataStore.h"

#include <sqlite3.h>

#include <ctime>

namespace {

constexpr const char* kColumns =
    "id, pid, name, type, share, status, size, hash, up_size, up_hash, break_point, lock_key, "
    "lock_app, lock_until, modified, up_gen";

std::string Text(sqlite3_stmt* statement, int column) {
    auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, column)))
                : std::string();
}

void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

// Binds the record's columns after id, starting at `first`.
void BindRecord(sqlite3_stmt* statement, int first, const FileRecord& r) {
    sqlite3_bind_int64(statement, first, r.pid);
    BindText(statement, first + 1, r.name);
    sqlite3_bind_int(statement, first + 2, r.type);
    sqlite3_bind_int(statement, first + 3, r.share ? 1 : 0);
    sqlite3_bind_int(statement, first + 4, r.status);
    sqlite3_bind_int64(statement, first + 5, r.size);
    BindText(statement, first + 6, r.hash);
    sqlite3_bind_int64(statement, first + 7, r.uploadSize);
    BindText(statement, first + 8, r.uploadHash);
    sqlite3_bind_int64(statement, first + 9, r.breakPoint);
    BindText(statement, first + 10, r.lockKey);
    BindText(statement, first + 11, r.lockApp);
    sqlite3_bind_int64(statement, first + 12, r.lockUntil);
    sqlite3_bind_int64(statement, first + 13, r.modified);
    sqlite3_bind_int64(statement, first + 14, r.uploadGen);
}

}  // namespace

MetadataStore::~MetadataStore() {
    if (m_checkpointer.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_checkpointMutex);
            m_stopping = true;
        }
        m_checkpointWake.notify_all();
        m_checkpointer.join();
    }
    for (auto& [sql, statement] : m_statements) {
        sqlite3_finalize(statement);
    }
    if (m_db) {
        sqlite3_close(m_db);
    }
}

bool MetadataStore::Open(const std::filesystem::path& file, std::string* error) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (sqlite3_open_v2(file.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        if (error) {
            *error = m_db ? sqlite3_errmsg(m_db) : "cannot open the database";
        }
        return false;
    }
    sqlite3_busy_timeout(m_db, 5000);
    const std::string now = std::to_string(std::time(nullptr));
    const std::string roots =
        "INSERT OR IGNORE INTO files(id, pid, name, type, share, status, modified) VALUES"
        "(1, 0, '', 2, 0, 1, " + now + "), (2, 0, '', 2, 1, 1, " + now + ");";
    bool ok = Exec("PRAGMA journal_mode=WAL;") && Exec("PRAGMA synchronous=NORMAL;") &&
              Exec("PRAGMA wal_autocheckpoint=0;") &&
              Exec("CREATE TABLE IF NOT EXISTS files("
                   " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                   " pid INTEGER NOT NULL,"
                   " name TEXT NOT NULL,"
                   " type INTEGER NOT NULL,"
                   " share INTEGER NOT NULL DEFAULT 0,"
                   " status INTEGER NOT NULL DEFAULT 1,"
                   " size INTEGER NOT NULL DEFAULT 0,"
                   " hash TEXT NOT NULL DEFAULT '',"
                   " up_size INTEGER NOT NULL DEFAULT 0,"
                   " up_hash TEXT NOT NULL DEFAULT '',"
                   " break_point INTEGER NOT NULL DEFAULT 0,"
                   " lock_key TEXT NOT NULL DEFAULT '',"
                   " lock_app TEXT NOT NULL DEFAULT '',"
                   " lock_until INTEGER NOT NULL DEFAULT 0,"
                   " modified INTEGER NOT NULL DEFAULT 0,"
                   " up_gen INTEGER NOT NULL DEFAULT 0);") &&
              // Names are unique within a folder. The two roots (the own and the shared one)
              // both have pid 0 and no name: their ids set them apart. Lookups of a child by
              // (pid, name) use the index's first two columns.
              Exec("CREATE UNIQUE INDEX IF NOT EXISTS files_name ON files(pid, name,"
                   " CASE WHEN pid = 0 THEN id ELSE 0 END);") &&
              Exec("CREATE INDEX IF NOT EXISTS files_hash ON files(hash);") &&
              Exec(roots.c_str());
    if (!ok && error) {
        *error = sqlite3_errmsg(m_db);
    }
    if (ok) {
        m_checkpointer = std::thread([this, file] { CheckpointMain(file); });
    }
    return ok;
}

void MetadataStore::CheckpointMain(std::filesystem::path file) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return;
    }
    std::unique_lock<std::mutex> lock(m_checkpointMutex);
    for (;;) {
        const bool stopping =
            m_checkpointWake.wait_for(lock, std::chrono::seconds(2), [this] { return m_stopping; });
        // Passive: copies what no reader needs, never waits for the request threads.
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        if (stopping) {
            break;
        }
    }
    sqlite3_close(db);
}

bool MetadataStore::Exec(const char* sql) {
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

sqlite3_stmt* MetadataStore::Prepare(const char* sql) {
    // Statements are few and fixed; keep each prepared once (keyed by the text's address).
    for (auto& [text, statement] : m_statements) {
        if (text == sql) {
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
            return statement;
        }
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        return nullptr;
    }
    m_statements.emplace_back(sql, statement);
    return statement;
}

std::vector<FileRecord> MetadataStore::Query(sqlite3_stmt* statement) {
    std::vector<FileRecord> rows;
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
        FileRecord r;
        r.id = sqlite3_column_int64(statement, 0);
        r.pid = sqlite3_column_int64(statement, 1);
        r.name = Text(statement, 2);
        r.type = sqlite3_column_int(statement, 3);
        r.share = sqlite3_column_int(statement, 4) != 0;
        r.status = sqlite3_column_int(statement, 5);
        r.size = sqlite3_column_int64(statement, 6);
        r.hash = Text(statement, 7);
        r.uploadSize = sqlite3_column_int64(statement, 8);
        r.uploadHash = Text(statement, 9);
        r.breakPoint = sqlite3_column_int64(statement, 10);
        r.lockKey = Text(statement, 11);
        r.lockApp = Text(statement, 12);
        r.lockUntil = sqlite3_column_int64(statement, 13);
        r.modified = sqlite3_column_int64(statement, 14);
        r.uploadGen = sqlite3_column_int64(statement, 15);
        rows.push_back(std::move(r));
    }
    if (statement) {
        sqlite3_reset(statement);
    }
    return rows;
}

MetadataStore::Transaction::Transaction(MetadataStore& store)
    : m_store(store), m_lock(store.m_mutex), m_outer(store.m_depth == 0) {
    ++m_store.m_depth;
    if (m_outer) {
        m_store.Step("BEGIN IMMEDIATE;");
    }
}

MetadataStore::Transaction::~Transaction() {
    --m_store.m_depth;
    if (m_outer) {
        m_store.Step(m_rollback ? "ROLLBACK;" : "COMMIT;");
    }
}

bool MetadataStore::Step(const char* sql) {
    // A prepared statement: sqlite3_exec would compile the text again each time.
    sqlite3_stmt* statement = Prepare(sql);
    if (!statement) {
        return false;
    }
    int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    return rc == SQLITE_DONE;
}

bool MetadataStore::AdvanceBreakPoint(int64_t id, int64_t gen, int64_t from, int64_t to,
                                      const std::string& hash) {
    static const char* sql =
        "UPDATE files SET break_point=?, up_hash=?, modified=? "
        "WHERE id=? AND up_gen=? AND status=0 AND break_point=?;";
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    sqlite3_stmt* statement = Prepare(sql);
    if (!statement) {
        return false;
    }
    sqlite3_bind_int64(statement, 1, to);
    BindText(statement, 2, hash);
    sqlite3_bind_int64(statement, 3, static_cast<int64_t>(std::time(nullptr)));
    sqlite3_bind_int64(statement, 4, id);
    sqlite3_bind_int64(statement, 5, gen);
    sqlite3_bind_int64(statement, 6, from);
    int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    return rc == SQLITE_DONE && sqlite3_changes(m_db) == 1;
}

std::optional<FileRecord> MetadataStore::Get(int64_t id) {
    static const std::string sql = std::string("SELECT ") + kColumns + " FROM files WHERE id=?;";
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    sqlite3_stmt* statement = Prepare(sql.c_str());
    if (!statement) {
        return std::nullopt;
    }
    sqlite3_bind_int64(statement, 1, id);
    auto rows = Query(statement);
    if (rows.empty()) {
        return std::nullopt;
    }
    return rows.front();
}

std::optional<FileRecord> MetadataStore::FindChild(int64_t pid, const std::string& name) {
    static const std::string sql =
        std::string("SELECT ") + kColumns + " FROM files WHERE pid=? AND name=?;";
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    sqlite3_stmt* statement = Prepare(sql.c_str());
    if (!statement) {
        return std::nullopt;
    }
    sqlite3_bind_int64(statement, 1, pid);
    BindText(statement, 2, name);
    auto rows = Query(statement);
    if (rows.empty()) {
        return std::nullopt;
    }
    return rows.front();
}

std::vector<FileRecord> MetadataStore::Children(int64_t pid) {
    static const std::string sql =
        std::string("SELECT ") + kColumns + " FROM files WHERE pid=? AND id>2 ORDER BY type DESC, name;";
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    sqlite3_stmt* statement = Prepare(sql.c_str());
    if (!statement) {
        return {};
    }
    sqlite3_bind_int64(statement, 1, pid);
    return Query(statement);
}

std::optional<FileRecord> MetadataStore::Insert(const FileRecord& record) {
    static const char* sql =
        "INSERT INTO files(pid, name, type, share, status, size, hash, up_size, up_hash, "
        "break_point, lock_key, lock_app, lock_until, modified, up_gen) "
        "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);";
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    sqlite3_stmt* statement = Prepare(sql);
    if (!statement) {
        return std::nullopt;
    }
    BindRecord(statement, 1, record);
    int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (rc != SQLITE_DONE) {
        return std::nullopt;
    }
    FileRecord inserted = record;
    inserted.id = sqlite3_last_insert_rowid(m_db);
    return inserted;
}

bool MetadataStore::Update(const FileRecord& record) {
    static const char* sql =
        "UPDATE files SET pid=?, name=?, type=?, share=?, status=?, size=?, hash=?, up_size=?, "
        "up_hash=?, break_point=?, lock_key=?, lock_app=?, lock_until=?, modified=?, up_gen=? "
        "WHERE id=?;";
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    sqlite3_stmt* statement = Prepare(sql);
    if (!statement) {
        return false;
    }
    BindRecord(statement, 1, record);
    sqlite3_bind_int64(statement, 16, record.id);
    int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    return rc == SQLITE_DONE && sqlite3_changes(m_db) == 1;
}

bool MetadataStore::DeleteTree(int64_t id, std::vector<FileRecord>* files) {
    static const std::string treeSql =
        std::string("WITH RECURSIVE tree(tid) AS (SELECT ? UNION ALL "
                    "SELECT files.id FROM files JOIN tree ON files.pid=tree.tid) SELECT ") +
        kColumns + " FROM files WHERE id IN tree;";
    static const char* deleteSql = "DELETE FROM files WHERE id=?;";
    Transaction transaction(*this);
    sqlite3_stmt* statement = Prepare(treeSql.c_str());
    if (!statement) {
        transaction.Rollback();
        return false;
    }
    sqlite3_bind_int64(statement, 1, id);
    auto rows = Query(statement);
    for (const auto& row : rows) {
        sqlite3_stmt* remove = Prepare(deleteSql);
        if (!remove) {
            transaction.Rollback();
            return false;
        }
        sqlite3_bind_int64(remove, 1, row.id);
        int rc = sqlite3_step(remove);
        sqlite3_reset(remove);
        if (rc != SQLITE_DONE) {
            transaction.Rollback();
            return false;
        }
        if (files && row.type == FileRecord::kTypeFile) {
            files->push_back(row);
        }
    }
    return true;
}

bool MetadataStore::IsHashStored(const std::string& hash) {
    static const char* sql = "SELECT 1 FROM files WHERE hash=? AND type=1 LIMIT 1;";
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    sqlite3_stmt* statement = Prepare(sql);
    if (!statement || hash.empty()) {
        return false;
    }
    BindText(statement, 1, hash);
    bool found = sqlite3_step(statement) == SQLITE_ROW;
    sqlite3_reset(statement);
    return found;
}

int64_t MetadataStore::UsedBytes(int64_t exceptUploadOf) {
    static const char* sql =
        "SELECT COALESCE(SUM(size), 0) + COALESCE(SUM(CASE WHEN status=0 AND id<>? "
        "THEN up_size ELSE 0 END), 0) FROM files WHERE type=1;";
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    sqlite3_stmt* statement = Prepare(sql);
    if (!statement) {
        return 0;
    }
    sqlite3_bind_int64(statement, 1, exceptUploadOf);
    int64_t used = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
    sqlite3_reset(statement);
    return used;
}

int64_t MetadataStore::FileCount() {
    static const char* sql = "SELECT COUNT(*) FROM files WHERE type=1;";
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    sqlite3_stmt* statement = Prepare(sql);
    if (!statement) {
        return 0;
    }
    int64_t count = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
    sqlite3_reset(statement);
    return count;
}
