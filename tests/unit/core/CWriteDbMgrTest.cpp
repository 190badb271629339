#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "support/ScopedXdgHome.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"
#include "support/Unprivileged.h"

namespace fs = std::filesystem;
using zorp::test::ReadFile;
using zorp::test::ScopedXdgHome;

namespace {

using zorp::test::Rows;
constexpr auto Query = zorp::test::QueryRows;

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// Fresh databases under a fresh user data folder, and a write queue of the test's own.
class CWriteDbMgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(7));
        queue.SetRetryPauseMs(10);
        ASSERT_TRUE(queue.Start());
    }
    void TearDown() override {
        queue.Stop();
        COptions::GetInstance().SetWorkFolderMounts(std::nullopt);
    }
    fs::path Db(const char* name) const { return home.userDataDir() / name; }

    ScopedXdgHome home;
    CWriteDbMgr queue;
};

}  // namespace

TEST_F(CWriteDbMgrTest, TransferStatementsGoInBatchesOfTenAndHistoryAtOnce) {
    logging::ScopedLogCapture log;
    for (int i = 0; i < 9; ++i) {
        queue.AddDragDir("/data/dir" + std::to_string(i), 100 + i, i % 2);
    }
    ASSERT_TRUE(queue.Flush(10000));
    EXPECT_EQ(queue.GetSubmittedJobCount(), 0u);
    EXPECT_TRUE(Query(Db(DBWrapper::kTxlogDb), "SELECT * FROM drag_dir;").empty());

    queue.AddDragDir("/data/dir9", 109, 1);
    EXPECT_EQ(queue.GetSubmittedJobCount(), 1u);
    ASSERT_TRUE(queue.Flush(10000));
    EXPECT_EQ(Query(Db(DBWrapper::kTxlogDb), "SELECT count(*), min(pid), max(pid), min(userid) FROM drag_dir;"),
              (Rows{{"10", "100", "109", "7"}}));
    std::vector<std::string> runs;
    for (const auto& line : log.Lines()) {
        if (line.find("Run: ") != std::string::npos) {
            runs.push_back(line);
        }
    }
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(CountOf(runs[0], "INSERT INTO drag_dir VALUES(NULL,'/data/dir"), 10u);

    // A short batch waits for an explicit write; a history entry is a job of its own at once.
    queue.AddLastTxStatus(4);
    EXPECT_EQ(queue.GetSubmittedJobCount(), 1u);
    queue.AddLog("a.txt", "/data", 12, 1);
    EXPECT_EQ(queue.GetSubmittedJobCount(), 2u);
    queue.WriteAllBatches();
    EXPECT_EQ(queue.GetSubmittedJobCount(), 3u);
    queue.WriteAllBatches();  // nothing left: no empty job
    EXPECT_EQ(queue.GetSubmittedJobCount(), 3u);
    ASSERT_TRUE(queue.Flush(10000));
    EXPECT_EQ(Query(Db(DBWrapper::kTxlogDb), "SELECT userid, txstatus FROM last_tx_status;"),
              (Rows{{"7", "4"}}));
    EXPECT_EQ(queue.GetDroppedJobCount(), 0u);
}

TEST_F(CWriteDbMgrTest, QuotesAndNonAsciiTextRoundTripInEveryStatement) {
    const std::string name = "Renée's \"draft\" 草稿 ✓.docx";
    const fs::path folder = "/home/o'neil/Документы/it''s";
    const std::string url = "http://download.localhost:18080/x?name=it's&q='1'";

    queue.AddLog(name, folder, 42, 2);
    queue.AddDragDir(folder, 9, 1);
    CWriteDbMgr::UpldUndoRecord upload;
    upload.size = 1000;
    upload.position = 1;
    upload.sha = "ab'cd";
    upload.fid = 77;
    upload.pid = 88;
    upload.path = folder;
    upload.name = name;
    upload.ctime = 1600000000;
    upload.mtime = 1600000001;
    upload.type = 1;
    upload.splitNum = 8;
    queue.AddInUndoLog({upload});
    queue.AddInDlUndoLog({{5000, 2500, folder / name, url, 8}});
    queue.AddBackupDirs({{folder, -1}, {"/plain", 3}});
    queue.WriteAllBatches();
    ASSERT_TRUE(queue.Flush(10000));
    EXPECT_EQ(queue.GetDroppedJobCount(), 0u);

    EXPECT_EQ(Query(Db(DBWrapper::kLogDb), "SELECT name, path, size, type, userid FROM log;"),
              (Rows{{name, folder.string(), "42", "2", "7"}}));
    EXPECT_EQ(Query(Db(DBWrapper::kTxlogDb), "SELECT path, pid, share FROM drag_dir;"),
              (Rows{{folder.string(), "9", "1"}}));
    EXPECT_EQ(Query(Db(DBWrapper::kTxlogDb), "SELECT size, position, sha, fid, pid, path, name, "
                                             "ctime, mtime, type, split_num, userid FROM undo_files;"),
              (Rows{{"1000", "1", "ab'cd", "77", "88", folder.string(), name, "1600000000",
                     "1600000001", "1", "8", "7"}}));
    EXPECT_EQ(Query(Db(DBWrapper::kTxlogDb), "SELECT size, position, path, url, split_num FROM dl_undo;"),
              (Rows{{"5000", "2500", (folder / name).string(), url, "8"}}));
    EXPECT_EQ(Query(Db(DBWrapper::kConfigDb), "SELECT path, pid FROM autobackupdir ORDER BY id;"),
              (Rows{{folder.string(), "-1"}, {"/plain", "3"}}));

    queue.RemoveBackupDirs({folder});
    ASSERT_TRUE(queue.Flush(10000));
    EXPECT_EQ(Query(Db(DBWrapper::kConfigDb), "SELECT path FROM autobackupdir;"), (Rows{{"/plain"}}));
}

// Batches of one database depend on each other: a DELETE followed by new rows in the next
// batch. With five threads free, a later batch must still not commit before an earlier one.
TEST_F(CWriteDbMgrTest, BatchesOfOneDatabaseCommitInSubmissionOrder) {
    for (int round = 0; round < 30; ++round) {
        queue.DeleteDragDirs();
        for (int i = 0; i < 12; ++i) {
            queue.AddDragDir("/r" + std::to_string(round) + "/" + std::to_string(i), round, 0);
        }
        queue.AddLastTxStatus(round);
        queue.WriteTxBatch();
    }
    ASSERT_TRUE(queue.Flush(60000));
    EXPECT_EQ(Query(Db(DBWrapper::kTxlogDb), "SELECT count(*), min(pid), max(pid) FROM drag_dir;"),
              (Rows{{"12", "29", "29"}}));
    Rows states = Query(Db(DBWrapper::kTxlogDb), "SELECT txstatus FROM last_tx_status ORDER BY rowid;");
    ASSERT_EQ(states.size(), 30u);
    for (int round = 0; round < 30; ++round) {
        EXPECT_EQ(states[round], (std::vector<std::string>{std::to_string(round)}));
    }
}

// The running process keeps its unfinished uploads stored as a whole: each snapshot replaces
// the user's rows of the three tables, other users' rows stay, and a statement added before
// a snapshot is written before it.
TEST_F(CWriteDbMgrTest, UnfinishedUploadSnapshotsReplaceTheUsersRowsInOrder) {
    COptions::GetInstance().SetUserId(8);
    queue.AddDragDir("/other-user", 1, 0);
    queue.AddInUndoLog({{5, 0, "h", 1, 2, "/other", "o.txt", 0, 0, 0, 8}});
    queue.WriteTxBatch();
    COptions::GetInstance().SetUserId(7);

    queue.AddDragDir("/stale", 3, 0);  // still collecting when the snapshot comes
    queue.AddLastTxStatus(9);
    for (int round = 0; round < 20; ++round) {
        std::vector<CWriteDbMgr::UpldUndoRecord> undo;
        for (int i = 0; i <= round % 4; ++i) {
            undo.push_back({100 + i, 0, "sha" + std::to_string(i), i, 40, "/up/it's",
                            "f" + std::to_string(round) + "-" + std::to_string(i), 11, 12, 1, 8});
        }
        queue.ReplaceUnfinishedUploads(undo, {{"/drop/" + std::to_string(round), 40, 1}}, round % 5);
    }
    ASSERT_TRUE(queue.Flush(60000));
    const fs::path db = Db(DBWrapper::kTxlogDb);
    EXPECT_EQ(Query(db, "SELECT name, path, sha, type FROM undo_files WHERE userid=7 ORDER BY id;"),
              (Rows{{"f19-0", "/up/it's", "sha0", "1"},
                    {"f19-1", "/up/it's", "sha1", "1"},
                    {"f19-2", "/up/it's", "sha2", "1"},
                    {"f19-3", "/up/it's", "sha3", "1"}}));
    EXPECT_EQ(Query(db, "SELECT path, pid, share FROM drag_dir WHERE userid=7;"),
              (Rows{{"/drop/19", "40", "1"}}));
    EXPECT_EQ(Query(db, "SELECT txstatus FROM last_tx_status WHERE userid=7;"), (Rows{{"4"}}));
    EXPECT_EQ(Query(db, "SELECT count(*) FROM undo_files WHERE userid=8;"), (Rows{{"1"}}));
    EXPECT_EQ(Query(db, "SELECT path FROM drag_dir WHERE userid=8;"), (Rows{{"/other-user"}}));
}

TEST_F(CWriteDbMgrTest, WritesMadeWhileClosingRunAfterTheWaitingOnes) {
    // Held at the pause: the first jobs take threads and wait, the rest queue up behind them.
    queue.Pause();
    for (int i = 0; i < 20; ++i) {
        queue.AddLog("before-" + std::to_string(i), "/p", i, 1);
        queue.AddInDlUndoLog({{i, 0, "/before/" + std::to_string(i), "u", 8}});
    }
    queue.AddBackupDirs({{"/before", 1}});
    EXPECT_FALSE(queue.IsClosing());
    queue.SetClosing();
    for (int i = 0; i < 10; ++i) {
        queue.AddLog("after-" + std::to_string(i), "/p", i, 1);
        queue.AddInDlUndoLog({{i, 0, "/after/" + std::to_string(i), "u", 8}});
    }
    queue.AddBackupDirs({{"/after", 2}});
    queue.WriteAllBatches();
    queue.Resume();
    ASSERT_TRUE(queue.Flush(60000));

    Rows history = Query(Db(DBWrapper::kLogDb), "SELECT name FROM log ORDER BY id;");
    ASSERT_EQ(history.size(), 30u);
    for (int i = 0; i < 30; ++i) {
        std::string expected = i < 20 ? "before-" + std::to_string(i) : "after-" + std::to_string(i - 20);
        EXPECT_EQ(history[i][0], expected);
    }
    Rows downloads = Query(Db(DBWrapper::kTxlogDb), "SELECT path FROM dl_undo ORDER BY id;");
    ASSERT_EQ(downloads.size(), 30u);
    EXPECT_EQ(downloads[19][0], "/before/19");
    EXPECT_EQ(downloads[20][0], "/after/0");
    EXPECT_EQ(Query(Db(DBWrapper::kConfigDb), "SELECT path FROM autobackupdir ORDER BY id;"),
              (Rows{{"/before"}, {"/after"}}));
}

TEST_F(CWriteDbMgrTest, StoppingWithJobsHeldEndsEveryJobWithoutHanging) {
    for (int cycle = 0; cycle < 5; ++cycle) {
        queue.Pause();
        for (int i = 0; i < 12; ++i) {
            queue.AddLog("held", "/p", i, 1);
        }
        queue.Stop();  // running jobs give up at the pause, waiting ones are cancelled
        EXPECT_TRUE(queue.Flush(1000));
        ASSERT_TRUE(queue.Start());
    }
    EXPECT_EQ(queue.GetDroppedJobCount(), 60u);
    // Written after a stop and restart like any other.
    queue.AddLog("after restart", "/p", 1, 1);
    ASSERT_TRUE(queue.Flush(10000));
    EXPECT_EQ(Query(Db(DBWrapper::kLogDb), "SELECT name FROM log;"), (Rows{{"after restart"}}));

    queue.Stop();
    queue.AddLog("not running", "/p", 1, 1);  // refused and counted, never waited for
    EXPECT_TRUE(queue.Flush(1000));
    EXPECT_EQ(queue.GetDroppedJobCount(), 61u);
}

// The database refuses writes (a read-only file, made so for a user who is not root): each
// batch is tried nine times with the pause between, rolled back, logged and dropped; the other
// databases are written as usual.
TEST_F(CWriteDbMgrTest, RefusedWritesAreRetriedNineTimesThenDropped) {
    const fs::path zor = home.userDataDir() / "zor";
    const std::string logBefore = ReadFile(Db(DBWrapper::kLogDb));
    for (fs::path p = zor; p != p.root_path(); p = p.parent_path()) {
        ::chmod(p.c_str(), 0777);
        if (p == home.root()) {
            break;
        }
    }
    ::chmod(Db(DBWrapper::kLogDb).c_str(), 0444);
    ::chmod(Db(DBWrapper::kTxlogDb).c_str(), 0666);
    for (const char* name : {"zor/txlog-wal", "zor/txlog-shm", "zor/log-wal", "zor/log-shm"}) {
        fs::remove(home.userDataDir() / name);
    }
    queue.Stop();

    int result = zorp::test::RunUnprivileged([&]() -> int {
        CWriteDbMgr child;
        child.SetRetryPauseMs(20);
        if (!child.Start()) {
            return 1;
        }
        logging::ScopedLogCapture log;
        child.AddLog("refused", "/p", 1, 1);
        child.AddDragDir("/kept", 1, 0);
        child.WriteAllBatches();
        if (!child.Flush(30000)) {
            return 2;
        }
        if (child.GetDroppedJobCount() != 1) {
            return 3;
        }
        size_t failures = log.Count("DBWrapper::executeSQL:") + log.Count("open db failed");
        if (failures != 9) {
            std::fprintf(stderr, "failed attempts: %zu\n", failures);
            return 4;
        }
        if (log.Count("logging failed: INSERT INTO log VALUES(NULL,'refused'") != 1) {
            return 5;
        }
        child.Stop();
        return 0;
    });
    ASSERT_NE(result, -1) << "the child did not run";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(Db(DBWrapper::kLogDb)), logBefore);
    EXPECT_EQ(Query(Db(DBWrapper::kTxlogDb), "SELECT path FROM drag_dir;"), (Rows{{"/kept"}}));
    EXPECT_EQ(CWriteDbMgr::kDefaultRetryPauseMs, 1500u);
}

// The child side of the crash test below: writes history rows one job at a time and reports
// each one that the queue says is written, until it is killed.
TEST(WriteDbCrashChild, DISABLED_WritesUntilKilled) {
    const char* dir = std::getenv("ZORP_CRASH_DATA_DIR");
    const char* fd = std::getenv("ZORP_CRASH_REPORT_FD");
    ASSERT_TRUE(dir && fd);
    CWriteDbMgr queue;
    queue.SetUserDataDir(dir);
    ASSERT_TRUE(queue.Start());
    const int out = std::atoi(fd);
    for (int i = 0;; ++i) {
        queue.AddLog("row-" + std::to_string(i), "/crash", i, 1);
        ASSERT_TRUE(queue.Flush(30000));
        ASSERT_EQ(queue.GetDroppedJobCount(), 0u);
        std::string line = std::to_string(i) + "\n";
        ASSERT_EQ(::write(out, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
}

// Write-ahead log with synchronous=NORMAL: a transaction the queue reported as written survives
// the process being killed at any moment, and the file stays consistent.
TEST_F(CWriteDbMgrTest, CommittedWritesSurviveKillNine) {
    ASSERT_TRUE(DBWrapper::UsesWriteAheadLog());
    queue.Stop();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        int devNull = ::open("/dev/null", O_WRONLY);
        ::dup2(devNull, STDOUT_FILENO);
        ::setenv("ZORP_CRASH_DATA_DIR", home.userDataDir().c_str(), 1);
        ::setenv("ZORP_CRASH_REPORT_FD", std::to_string(fds[1]).c_str(), 1);
        // The child's own test home lands inside this test's folder, which is cleaned up.
        ::setenv("TMPDIR", home.root().c_str(), 1);
        ::execl("/proc/self/exe", "zorp_unit_tests", "--gtest_also_run_disabled_tests",
                "--gtest_filter=WriteDbCrashChild.DISABLED_WritesUntilKilled", nullptr);
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string received;
    int lastReported = -1;
    char buffer[256];
    while (lastReported < 300) {
        ssize_t got = ::read(fds[0], buffer, sizeof(buffer));
        if (got <= 0) {
            break;
        }
        received.append(buffer, static_cast<size_t>(got));
        auto end = received.rfind('\n');
        if (end != std::string::npos) {
            auto start = received.rfind('\n', end - 1);
            lastReported = std::stoi(received.substr(start == std::string::npos ? 0 : start + 1));
        }
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    // Reports written just before the kill still count.
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof(buffer))) > 0) {
        received.append(buffer, static_cast<size_t>(got));
    }
    ::close(fds[0]);
    auto end = received.rfind('\n');
    ASSERT_NE(end, std::string::npos) << "the child reported nothing";
    auto start = received.rfind('\n', end - 1);
    lastReported = std::stoi(received.substr(start == std::string::npos ? 0 : start + 1));
    ASSERT_GE(lastReported, 300);
    EXPECT_TRUE(WIFSIGNALED(status));

    EXPECT_EQ(Query(Db(DBWrapper::kLogDb), "PRAGMA integrity_check;"), (Rows{{"ok"}}));
    Rows rows = Query(Db(DBWrapper::kLogDb), "SELECT name FROM log ORDER BY id;");
    ASSERT_GE(rows.size(), static_cast<size_t>(lastReported + 1));
    for (int i = 0; i <= lastReported; ++i) {
        ASSERT_EQ(rows[i][0], "row-" + std::to_string(i));
    }
}
