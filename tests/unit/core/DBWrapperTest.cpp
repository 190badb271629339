#include <gtest/gtest.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/DBWrapper.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using zorp::test::ReadFile;
using zorp::test::TempDir;
using zorp::test::WriteFile;

using Rows = std::vector<std::vector<std::string>>;

TEST(DBWrapperTest, ForeignFileIsRefusedAndLeftUntouched) {
    TempDir dir;
    const fs::path path = dir / "log";
    const std::string content = "PK\x03\x04 this is a zip archive, not a database at all";
    WriteFile(path, content);

    DBWrapper db(path);
    EXPECT_FALSE(db.open());
    EXPECT_EQ(db.errorText(), "File is not a SQLite 3 database");
    EXPECT_FALSE(db.isOpen());
    EXPECT_FALSE(db.executeSQL("CREATE TABLE t(a);"));
    db.close();
    EXPECT_EQ(ReadFile(path), content);

    // Something that is not a file at all cannot be read as one.
    fs::create_directories(dir / "folder");
    DBWrapper folder(dir / "folder");
    EXPECT_FALSE(folder.open());
    EXPECT_EQ(folder.errorText(), "File could not be read");
}

TEST(DBWrapperTest, MissingAndEmptyFilesOpenAsEmptyDatabases) {
    TempDir dir;
    DBWrapper created(dir / "new");
    ASSERT_TRUE(created.open()) << created.errorText();
    EXPECT_EQ(created.errorText(), "no error");
    created.close();

    // A connection opened and closed without writing leaves a zero-byte file behind; it must
    // stay usable rather than count as a foreign file.
    WriteFile(dir / "empty", "");
    DBWrapper empty(dir / "empty");
    ASSERT_TRUE(empty.open()) << empty.errorText();
    EXPECT_TRUE(empty.executeSQL("CREATE TABLE t(a);INSERT INTO t VALUES(1);"));
    empty.close();
    ASSERT_TRUE(empty.open());
    ASSERT_TRUE(empty.query("SELECT a FROM t;"));
    EXPECT_EQ(empty.rows(), (Rows{{"1"}}));
}

TEST(DBWrapperTest, RowsLeaveOutNullValuesAndAllNullRows) {
    TempDir dir;
    DBWrapper db(dir / "db");
    ASSERT_TRUE(db.open());
    ASSERT_TRUE(db.executeSQL(
        "CREATE TABLE user(id INTEGER PRIMARY KEY , name VARCHAR(260) COLLATE NOCASE, UNIQUE (id));"));

    ASSERT_TRUE(db.query("SELECT * FROM user;"));
    EXPECT_TRUE(db.rows().empty());
    ASSERT_TRUE(db.query("SELECT MAX(id) AS maxId FROM user;"));
    EXPECT_TRUE(db.rows().empty()) << "an only row of NULLs is no row";
    EXPECT_EQ(db.columnNames(), (std::vector<std::string>{"maxId"}));

    ASSERT_TRUE(db.executeSQL("CREATE TABLE t(a TEXT, b INT, c TEXT);"
                              "INSERT INTO t VALUES(NULL, 2, 'x');"
                              "INSERT INTO t VALUES('a', NULL, NULL);"
                              "INSERT INTO t VALUES(NULL, NULL, NULL);"
                              "INSERT INTO t VALUES('', 0, 'z');"));
    ASSERT_TRUE(db.query("SELECT * FROM t;"));
    EXPECT_EQ(db.rows(), (Rows{{"2", "x"}, {"a"}, {"", "0", "z"}}));
    EXPECT_EQ(db.columnTypes(), (std::vector<std::string>{"TEXT", "INT", "TEXT"}));

    EXPECT_FALSE(db.query("SELECT * FROM missing;"));
    EXPECT_NE(db.errorText().find("no such table"), std::string::npos);
    EXPECT_TRUE(db.rows().empty());
}

TEST(DBWrapperTest, QuotedTextRoundTrips) {
    TempDir dir;
    DBWrapper db(dir / "db");
    ASSERT_TRUE(db.open());
    ASSERT_TRUE(db.executeSQL("CREATE TABLE t(v TEXT);"));
    const std::vector<std::string> values = {
        "O'Brien's \"files\"", "''", "'", "Zoë — 测试文件 😀.txt", "a;DROP TABLE t;--", "\\'"};
    for (const auto& value : values) {
        ASSERT_TRUE(db.executeSQL("INSERT INTO t VALUES('" + DBWrapper::EscapeText(value) + "');"))
            << value << ": " << db.errorText();
    }
    ASSERT_TRUE(db.query("SELECT v FROM t ORDER BY rowid;"));
    Rows expected;
    for (const auto& value : values) {
        expected.push_back({value});
    }
    EXPECT_EQ(db.rows(), expected);
    EXPECT_TRUE(db.tableExists("t"));
    EXPECT_FALSE(db.tableExists("t' OR '1'='1"));
}

// Opening a database must not cost the other connections of this process their file locks:
// Linux drops every lock a process holds on a file when any descriptor of it is closed, so a
// header read through a descriptor of its own would let another process write under a
// connection that believes it holds the database alone.
TEST(DBWrapperTest, OpeningAConnectionKeepsTheLocksOfTheOthers) {
    TempDir dir;
    const fs::path path = dir / "txlog";
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder,
                           "PRAGMA locking_mode=EXCLUSIVE; CREATE TABLE t(x); "
                           "INSERT INTO t VALUES(1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    const bool walBefore = DBWrapper::UsesWriteAheadLog();
    DBWrapper::SetUseWriteAheadLog(false);
    {
        DBWrapper other(path);
        other.open();  // its own reads wait for the holder; what counts is the holder's lock
    }
    DBWrapper::SetUseWriteAheadLog(walBefore);

    // Another process asks the kernel whether anyone holds a lock on the file.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(path.c_str(), O_RDWR);
        struct flock probe = {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_GETLK, &probe) != 0) {
            _exit(2);
        }
        _exit(probe.l_type == F_UNLCK ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the holder's lock on the database is gone";
    sqlite3_close(holder);
}
