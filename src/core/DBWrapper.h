#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

// The thin wrapper through which every database access goes. One use is always: construct,
// open, any number of queries and executions, close; no connection stays open between uses.
// A wrapper belongs to one thread from open to close; several wrappers on one file may be open
// on different threads at once and SQLite's file locking serialises them.
class DBWrapper {
public:
    // The three database files, relative to the user data folder.
    static constexpr const char* kConfigDb = "zor/config";
    static constexpr const char* kTxlogDb = "zor/txlog";
    static constexpr const char* kLogDb = "zor/log";

    explicit DBWrapper(std::filesystem::path path = {});
    ~DBWrapper();
    DBWrapper(const DBWrapper&) = delete;
    DBWrapper& operator=(const DBWrapper&) = delete;

    void setPath(const std::filesystem::path& path);
    const std::filesystem::path& path() const { return m_path; }

    // Checks the file header (a missing file is created by SQLite), opens the connection and
    // sets the connection's pragmas. On false, errorText() tells why: "File could not be
    // read", "File is not a SQLite 3 database" or SQLite's own message.
    bool open();
    // open(), logging under the caller's name why it failed.
    bool openOrLog(const char* who);
    bool isOpen() const { return m_db != nullptr; }

    // Runs one or more statements that return no rows.
    bool executeSQL(const std::string& sql);
    // Undoes the open transaction after a failed statement. errorText() keeps telling why that
    // statement failed: SQLite may have rolled back already ("no transaction is active"), and
    // that text would hide the disk error that is worth logging.
    void rollback();

    // Runs a statement and keeps its rows: each row holds the texts of its non-NULL values in
    // column order, and a row whose values are all NULL is not kept.
    bool query(const std::string& sql);
    const std::vector<std::vector<std::string>>& rows() const { return m_rows; }
    const std::vector<std::string>& columnNames() const { return m_columnNames; }
    const std::vector<std::string>& columnTypes() const { return m_columnTypes; }
    void clearResult();

    // True when the query for this table in sqlite_master returns a row.
    bool tableExists(const std::string& table);

    void close();

    const std::string& errorText() const { return m_errorText; }

    // The text with every single quote doubled, ready to stand between single quotes in a
    // statement (what sqlite3_mprintf's %q does). Names and paths may hold quotes; pasting
    // them unquoted would break the statement and lose the whole batch it belongs to.
    static std::string EscapeText(std::string_view text);

    // Whether connections put their file into write-ahead-log mode with synchronous=NORMAL
    // (the default) or leave SQLite's default rollback journal. Process-wide; the benchmark
    // switches it to compare both.
    static void SetUseWriteAheadLog(bool use);
    static bool UsesWriteAheadLog();

    // How long a statement waits for another connection's lock before it fails.
    static constexpr int kBusyTimeoutMs = 3000;

private:
    bool CheckHeader();
    void ApplyJournalMode();

    std::filesystem::path m_path;
    std::string m_pathUtf8;
    sqlite3* m_db = nullptr;
    std::string m_errorText;
    bool m_executed = false;
    std::vector<std::string> m_columnNames;
    std::vector<std::string> m_columnTypes;
    std::vector<std::vector<std::string>> m_rows;

    static std::atomic<bool> s_useWriteAheadLog;
};
