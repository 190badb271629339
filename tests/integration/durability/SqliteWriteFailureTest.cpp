// Every write of a short scenario made to fail once in turn (and, as a disk that stays full,
// every write from the N-th on): the databases stay sound, no row that was reported written is
// lost, and each batch is there whole or not at all.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/Options.h"
#include "support/FailingSqliteVfs.h"
#include "support/ScopedXdgHome.h"
#include "support/TestDatabases.h"
#include "support/TempDir.h"
#include "upload/FileBackupMgr.h"

namespace fs = std::filesystem;
using zorp::test::FailingSqliteVfs;
using zorp::test::Rows;
using zorp::test::ScopedXdgHome;
using Operation = FailingSqliteVfs::Operation;

namespace {

constexpr auto Query = zorp::test::QueryRows;

// One way of failing: which operation, with which code, once or from then on.
struct FaultMode {
    Operation operation;
    int code;
    bool sticky;
};

std::string Describe(const FaultMode& mode, int n) {
    return std::string(FailingSqliteVfs::Name(mode.operation)) + " #" + std::to_string(n) +
           (mode.sticky ? " and later" : " once") + ", code " + std::to_string(mode.code);
}

const FaultMode kModes[] = {
    {Operation::kWrite, SQLITE_IOERR_WRITE, false},
    {Operation::kWrite, SQLITE_FULL, true},
    {Operation::kSync, SQLITE_IOERR_WRITE, false},
    {Operation::kTruncate, SQLITE_IOERR_WRITE, false},
};

void ExpectSound(const fs::path& db, const std::string& what) {
    if (!fs::exists(db)) {
        return;
    }
    EXPECT_EQ(Query(db, "PRAGMA integrity_check;"), (Rows{{"ok"}})) << db << " after " << what;
}

fs::path Db(const ScopedXdgHome& home, const char* name) { return home.userDataDir() / name; }

// Runs `scenario` once counting the calls of each operation, then, for every mode and every N
// up to that count, in a fresh user folder with the N-th call failing; `check` looks at the
// result with the test file system gone. Returns the number of failure points tried.
int TryEveryFailurePoint(const std::function<void(const ScopedXdgHome&)>& prepare,
                         const std::function<void()>& scenario,
                         const std::function<void(const ScopedXdgHome&, const std::string&, bool)>& check) {
    int counts[3] = {};
    {
        ScopedXdgHome home;
        prepare(home);
        {
            FailingSqliteVfs vfs(home.root());
            scenario();
            for (Operation op : {Operation::kWrite, Operation::kSync, Operation::kTruncate}) {
                counts[static_cast<int>(op)] = vfs.Calls(op);
            }
        }
        check(home, "no failure", false);
    }
    EXPECT_GT(counts[static_cast<int>(Operation::kWrite)], 0) << "the scenario writes nothing";
    int tried = 0;
    for (const FaultMode& mode : kModes) {
        const int calls = counts[static_cast<int>(mode.operation)];
        for (int n = 1; n <= calls; ++n) {
            ScopedXdgHome home;
            prepare(home);
            const std::string what = Describe(mode, n);
            int failures = 0;
            {
                FailingSqliteVfs vfs(home.root());
                vfs.Arm(mode.operation, n, mode.code, mode.sticky);
                scenario();
                failures = vfs.Failures();
            }
            // A scenario may take another path after a failure and make fewer calls; a point
            // that was never reached is not counted as tried.
            if (failures > 0) {
                ++tried;
            }
            check(home, what, mode.sticky && failures > 0);
            if (::testing::Test::HasFatalFailure()) {
                return tried;
            }
        }
    }
    return tried;
}

class SqliteWriteFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Hundreds of fresh user folders, each synced a few times: on a memory file system
        // where there is one, so that the runs cost milliseconds rather than disk syncs.
        if (const char* tmp = std::getenv("TMPDIR")) {
            m_savedTmp = tmp;
        }
        std::error_code ec;
        if (fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0) {
            setenv("TMPDIR", "/dev/shm", 1);
        }
        COptions& options = COptions::GetInstance();
        options.SetWorkFolderMounts(std::vector<fs::path>{});
        options.ClearBackupFolders();
        options.ClearCookies();
        options.SetUserId(0);
    }
    void TearDown() override {
        COptions::GetInstance().ClearBackupFolders();
        COptions::GetInstance().SetWorkFolderMounts(std::nullopt);
        if (m_savedTmp) {
            setenv("TMPDIR", m_savedTmp->c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
    }

    void WriteQueueScenario(bool writeAheadLog);

private:
    std::optional<std::string> m_savedTmp;
};

}  // namespace

// The first start builds the three databases, signs a user in and stores settings. Whatever
// write fails, the start either succeeds or the second attempt (as the program makes it) does
// on the next start; every setting reported stored is read back, and the user reported inserted
// is found.
TEST_F(SqliteWriteFailureTest, FirstStartSettingsAndUserSurviveAnyFailingWrite) {
    COptions& options = COptions::GetInstance();
    struct Reported {
        bool loaded = false;
        bool lookedUp = false;
        bool userInserted = false;
        int userId = 0;
        bool posSaved = false;
        bool speedSaved = false;
    } reported;

    auto scenario = [&] {
        reported = Reported{};
        options.SetUserId(0);
        options.ClearCookies();
        options.AddCookie("cookieUserAccount", "o'neil@example.com");
        reported.loaded = options.Load() || options.ResetAndLoad();
        if (!reported.loaded) {
            return;
        }
        reported.lookedUp = options.LookupUser();
        if (!reported.lookedUp) {
            reported.userInserted = options.InsertUser();
        }
        reported.userId = options.GetUserId();
        reported.posSaved = options.SaveSetting("float_wnd_pos", "120,340");
        reported.speedSaved = options.SaveSetting("auto_backup_speed", "3");
    };
    auto check = [&](const ScopedXdgHome& home, const std::string& what, bool) {
        for (const char* name : {DBWrapper::kConfigDb, DBWrapper::kTxlogDb, DBWrapper::kLogDb}) {
            ExpectSound(Db(home, name), what);
        }
        // The next start, on a sound disk.
        options.SetUserId(0);
        ASSERT_TRUE(options.Load() || options.ResetAndLoad()) << what;
        for (const char* table : {"userconfig", "user", "autobackupdir"}) {
            EXPECT_FALSE(Query(Db(home, DBWrapper::kConfigDb),
                               std::string("SELECT name FROM sqlite_master WHERE name='") + table + "';")
                             .empty())
                << table << " after " << what;
        }
        for (const char* table : {"drag_dir", "undo_files", "dl_undo", "last_tx_status"}) {
            EXPECT_FALSE(Query(Db(home, DBWrapper::kTxlogDb),
                               std::string("SELECT name FROM sqlite_master WHERE name='") + table + "';")
                             .empty())
                << table << " after " << what;
        }
        EXPECT_FALSE(Query(Db(home, DBWrapper::kLogDb),
                           "SELECT name FROM sqlite_master WHERE name='log';").empty())
            << what;
        if (reported.posSaved) {
            EXPECT_EQ(options.GetFloatWndPos(), std::make_optional(std::make_pair(120, 340))) << what;
        }
        if (reported.speedSaved) {
            EXPECT_EQ(options.GetAutoBackupSpeed(), 3) << what;
        }
        if (reported.userInserted) {
            EXPECT_TRUE(options.LookupUser()) << what;
            EXPECT_EQ(options.GetUserId(), reported.userId) << what;
        } else if (reported.loaded && !reported.lookedUp) {
            // Without its row the account holds no id that the next account would be given.
            EXPECT_EQ(reported.userId, 0) << what;
        }
        // Whatever the first start lost, this start can store it.
        EXPECT_TRUE(options.SaveSetting("auto_backup_speed", "2")) << what;
    };
    const int tried = TryEveryFailurePoint([](const ScopedXdgHome&) {}, scenario, check);
    EXPECT_GT(tried, 10);
    RecordProperty("failure_points", tried);
    std::printf("first start: %d failure points tried\n", tried);
}

// The write queue's jobs of one run: history rows one by one, a full batch of dropped folders,
// the unfinished uploads, downloads and edits replaced as wholes, backup folders added and one
// removed. With a write failing once, the retries write everything; with the disk failing from
// some write on, each database holds the result of its first k jobs (every job whole or not at
// all) and the jobs the queue counted as dropped are exactly the ones missing.
void SqliteWriteFailureTest::WriteQueueScenario(bool writeAheadLog) {
    const bool savedMode = DBWrapper::UsesWriteAheadLog();
    DBWrapper::SetUseWriteAheadLog(writeAheadLog);
    uint64_t submitted = 0;
    uint64_t dropped = 0;
    bool flushed = false;

    auto prepare = [&](const ScopedXdgHome&) {
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(5));
    };
    auto scenario = [&] {
        CWriteDbMgr queue(1, 3);
        queue.SetRetryPauseMs(1);
        ASSERT_TRUE(queue.Start());
        for (int i = 0; i < 3; ++i) {
            queue.AddLog("file" + std::to_string(i) + ".txt", "/data/o'neil", 100 + i, 1);
        }
        for (int i = 0; i < CWriteDbMgr::kTxBatchLimit; ++i) {
            queue.AddDragDir("/data/dropped" + std::to_string(i), 40 + i, 0);
        }
        CWriteDbMgr::UpldUndoRecord upload = CWriteDbMgr::UpldUndoRecord::Of(
            "/data/a'b.bin", 71, 8, "hash-a", 5000, 1, 0, 8);
        CWriteDbMgr::UpldUndoRecord second = CWriteDbMgr::UpldUndoRecord::Of(
            "/data/c.bin", 72, 8, "hash-c", 6000, 1, 0, 8);
        queue.ReplaceUnfinishedUploads({upload, second}, {{"/data/left", 8, 0}}, 3);
        queue.ReplaceUnfinishedDownloads({{9000, 0, "/home/u/Downloads/x.iso", "http://d/x", 8},
                                          {10, 0, "/home/u/Downloads/y.txt", "http://d/y", 8}});
        CWriteDbMgr::EditPendingRecord edit;
        edit.fid = 90;
        edit.pid = 8;
        edit.name = "notes.txt";
        edit.editPath = "/work/ledir/1/notes.txt";
        edit.pending = true;
        queue.ReplaceEditPending({edit});
        queue.AddBackupDirs({{"/home/u/Pictures", -1}, {"/home/u/Music", -1}});
        queue.RemoveBackupDirs({"/home/u/Music"});
        queue.WriteAllBatches();
        flushed = queue.Flush(60000);
        submitted = queue.GetSubmittedJobCount();
        dropped = queue.GetDroppedJobCount();
        queue.Stop();
    };
    auto check = [&](const ScopedXdgHome& home, const std::string& what, bool diskStaysBad) {
        ASSERT_TRUE(flushed) << what;
        const fs::path txlog = Db(home, DBWrapper::kTxlogDb);
        const fs::path log = Db(home, DBWrapper::kLogDb);
        const fs::path config = Db(home, DBWrapper::kConfigDb);
        for (const auto& db : {txlog, log, config}) {
            ExpectSound(db, what);
        }
        // History: a prefix of the three rows.
        const Rows logRows = Query(log, "SELECT name FROM log ORDER BY id;");
        ASSERT_LE(logRows.size(), 3u) << what;
        for (size_t i = 0; i < logRows.size(); ++i) {
            EXPECT_EQ(logRows[i], (std::vector<std::string>{"file" + std::to_string(i) + ".txt"})) << what;
        }
        const uint64_t logJobs = logRows.size();

        // Transfers: the state after the first k of the four jobs.
        const std::string counts =
            "SELECT (SELECT count(*) FROM drag_dir), (SELECT count(*) FROM undo_files),"
            " (SELECT count(*) FROM last_tx_status), (SELECT count(*) FROM dl_undo),"
            " (SELECT count(*) FROM sqlite_master WHERE name='edit_pending');";
        const Rows states[] = {
            {{"0", "0", "0", "0", "0"}},
            {{"10", "0", "0", "0", "0"}},
            {{"1", "2", "1", "0", "0"}},
            {{"1", "2", "1", "2", "0"}},
            {{"1", "2", "1", "2", "1"}},
        };
        const Rows txState = Query(txlog, counts);
        uint64_t txJobs = 0;
        while (txJobs < 5 && states[txJobs] != txState) {
            ++txJobs;
        }
        ASSERT_LT(txJobs, 5u) << "not a state the jobs can leave: " << txState[0][0] << ","
                              << txState[0][1] << "," << txState[0][2] << "," << txState[0][3]
                              << "," << txState[0][4] << " after " << what;
        if (txJobs == 4) {
            EXPECT_EQ(Query(txlog, "SELECT count(*) FROM edit_pending WHERE userid=5 AND pending=1;"),
                      (Rows{{"1"}})) << what;
        }
        if (txJobs >= 2) {
            EXPECT_EQ(Query(txlog, "SELECT name, sha FROM undo_files ORDER BY id;"),
                      (Rows{{"a'b.bin", "hash-a"}, {"c.bin", "hash-c"}})) << what;
        }

        // Backup folders: none, both, or the one left after the removal.
        const Rows backup = Query(config, "SELECT path FROM autobackupdir ORDER BY id;");
        uint64_t configJobs = 0;
        if (backup == Rows{{"/home/u/Pictures"}, {"/home/u/Music"}}) {
            configJobs = 1;
        } else if (backup == Rows{{"/home/u/Pictures"}}) {
            configJobs = 2;
        } else {
            EXPECT_TRUE(backup.empty()) << what;
        }

        EXPECT_EQ(submitted, 9u) << what;
        // A removal whose rows were never added changes nothing and so succeeds on any disk.
        const uint64_t written = submitted - dropped;
        const uint64_t found = logJobs + txJobs + configJobs;
        EXPECT_TRUE(found == written || (backup.empty() && found + 1 == written))
            << found << " jobs found, " << written << " not dropped after " << what;
        if (!diskStaysBad) {
            EXPECT_EQ(dropped, 0u) << what;
        }
    };
    const int tried = TryEveryFailurePoint(prepare, scenario, check);
    EXPECT_GT(tried, 10);
    RecordProperty("failure_points", tried);
    std::printf("write queue (%s): %d failure points tried\n",
                writeAheadLog ? "write-ahead log" : "rollback journal", tried);
    DBWrapper::SetUseWriteAheadLog(savedMode);
}

TEST_F(SqliteWriteFailureTest, WriteQueueJobsAreWholeAndInOrderAndOnlyDroppedOnesAreMissing) {
    WriteQueueScenario(true);
}

// The same with SQLite's rollback journal, whose recovery after a failed write differs (a hot
// journal rolled back by the next connection instead of frames that are never committed).
TEST_F(SqliteWriteFailureTest, WriteQueueJobsAreWholeWithTheRollbackJournalToo) {
    WriteQueueScenario(false);
}

// The start-up restore only reads the stored unfinished uploads and dropped folders: the run's
// first snapshot replaces them, so a kill in between loses nothing. On a disk that refuses
// every write it still holds every row it read, and the stored rows stay as they were.
TEST_F(SqliteWriteFailureTest, StartUpRestoreHoldsEveryRowItReadAndWritesNothing) {
    FileBackupMgr& backup = FileBackupMgr::GetInstance();
    size_t uploadsHeld = 0;
    size_t foldersHeld = 0;
    auto prepare = [&](const ScopedXdgHome& home) {
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(3));
        const fs::path files = home.root() / "files";
        zorp::test::WriteFile(files / "a.bin", "alpha");
        zorp::test::WriteFile(files / "b'c.bin", "beta");
        DBWrapper db(Db(home, DBWrapper::kTxlogDb));
        ASSERT_TRUE(db.open());
        const std::string folder = DBWrapper::EscapeText(files.string());
        ASSERT_TRUE(db.executeSQL(
            "INSERT INTO undo_files VALUES(NULL,5,1,'h1',11,2,'" + folder + "','a.bin',0,0,0,8,3);"
            "INSERT INTO undo_files VALUES(NULL,4,1,'h2',12,2,'" + folder + "','b''c.bin',0,0,0,8,3);"
            "INSERT INTO last_tx_status VALUES(NULL,3,4);"
            "INSERT INTO drag_dir VALUES(NULL,'" + folder + "',2,0,3);"));
    };
    auto scenario = [&] {
        backup.reset();
        backup.restoreUndoFiles();
        uploadsHeld = backup.getUploadList().size() + backup.getChangedFiles().size();
        backup.reset();
        backup.restoreDragDirs();
        foldersHeld = 0;
        for (const auto& [key, paths] : backup.getPendingRequests()) {
            foldersHeld += paths.size();
        }
        backup.reset();
    };
    auto check = [&](const ScopedXdgHome& home, const std::string& what, bool) {
        const fs::path txlog = Db(home, DBWrapper::kTxlogDb);
        ExpectSound(txlog, what);
        EXPECT_EQ(uploadsHeld, 2u) << what;
        EXPECT_EQ(foldersHeld, 1u) << what;
        const Rows left = Query(txlog, "SELECT count(*) FROM undo_files;");
        EXPECT_TRUE(left == Rows{{"0"}} || left == Rows{{"2"}}) << what;
        const Rows dirs = Query(txlog, "SELECT count(*) FROM drag_dir;");
        EXPECT_TRUE(dirs == Rows{{"0"}} || dirs == Rows{{"1"}}) << what;
    };
    ScopedXdgHome home;
    prepare(home);
    {
        FailingSqliteVfs vfs(home.root());
        vfs.Arm(Operation::kWrite, 1, SQLITE_FULL, true);
        scenario();
        EXPECT_EQ(vfs.Calls(Operation::kWrite), 0) << "the restore writes nothing";
    }
    check(home, "a disk refusing every write", true);
    EXPECT_EQ(Query(Db(home, DBWrapper::kTxlogDb), "SELECT count(*) FROM undo_files;"),
              (Rows{{"2"}}));
}
