#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
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

namespace fs = std::filesystem;
using zorp::test::ReadFile;
using zorp::test::ScopedXdgHome;
using zorp::test::WriteFile;

namespace {

using zorp::test::Rows;
constexpr auto Query = zorp::test::QueryRows;

constexpr uint64_t kGiB = uint64_t(1) << 30;

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        COptions& options = Options();
        options.SetWorkFolderMounts(std::vector<fs::path>{});
        options.ClearBackupFolders();
        options.ClearCookies();
        options.SetUserId(0);
        ASSERT_TRUE(CWriteDbMgr::GetInstance().Start());
    }
    void TearDown() override {
        CWriteDbMgr::GetInstance().WriteAllBatches();
        EXPECT_TRUE(CWriteDbMgr::GetInstance().Flush(20000));
        CWriteDbMgr::GetInstance().Stop();  // closes its connections to this test's files
        Options().ClearBackupFolders();
        Options().SetWorkFolderMounts(std::nullopt);
    }

    static COptions& Options() { return COptions::GetInstance(); }
    fs::path Db(const char* name) const { return home.userDataDir() / name; }

    void SignIn(const std::string& account) {
        Options().ClearCookies();
        Options().AddCookie("cookieUserAccount", account);
        if (!Options().LookupUser()) {
            ASSERT_TRUE(Options().InsertUser());
        }
    }

    ScopedXdgHome home;
};

}  // namespace

TEST_F(OptionsTest, FirstLoadCreatesTheDatabasesAndTheWorkFolder) {
    ASSERT_TRUE(Options().Load());
    EXPECT_TRUE(Options().NeedCreateDatabases());
    EXPECT_EQ(Options().GetUserDataDir(), home.userDataDir());
    EXPECT_TRUE(fs::is_directory(home.userDataDir() / "zor" / "cache"));

    // The creation texts are stored as written (tabs included): files of every build share them.
    const Rows expectedConfig = {
        {"CREATE TABLE userconfig(kind TEXT\t,name TEXT\t,value TEXT\t,UNIQUE (kind, name))"},
        {"CREATE TABLE user(id INTEGER PRIMARY KEY , name VARCHAR(260) COLLATE NOCASE, UNIQUE (id))"},
        {"CREATE TABLE autobackupdir(id INTEGER PRIMARY KEY , path VARCHAR(260) COLLATE NOCASE, "
         "pid\tINT, userid INTERGER, UNIQUE (id))"}};
    const Rows expectedTxlog = {
        {"CREATE TABLE config(config VARCHAR(260)\tPRIMARY KEY ,value VARCHAR(260)  ,UNIQUE (config))"},
        {"CREATE TABLE last_tx_status(id INTERGER PRIMARY KEY, userid INTERGER, txstatus TINYINT, "
         "UNIQUE (id))"},
        {"CREATE TABLE drag_dir(id INTEGER PRIMARY KEY , path VARCHAR(260) COLLATE NOCASE, pid\tINT, "
         "share TINYINT, userid INTERGER, UNIQUE (id))"},
        {"CREATE TABLE undo_files(id INTEGER PRIMARY KEY ,size INT , position INT,  sha VARCHAR(128), "
         "fid INT, pid\tINT, path VARCHAR(260) COLLATE NOCASE, name VARCHAR(260)\tCOLLATE NOCASE, "
         "ctime\tINT, mtime INT, type TINYINT, split_num TINYINT, userid INTERGER, UNIQUE (id))"},
        {"CREATE TABLE dl_undo(id INTEGER PRIMARY KEY ,size INT , position INT, path VARCHAR(260) "
         "COLLATE NOCASE,url VARCHAR(512)\tCOLLATE NOCASE, split_num TINYINT, userid INTERGER, "
         "UNIQUE (id))"}};
    const Rows expectedLog = {
        {"CREATE TABLE config(config VARCHAR(260)\tPRIMARY KEY ,value VARCHAR(260)  ,UNIQUE (config))"},
        {"CREATE TABLE log(id INTEGER PRIMARY KEY, name\tVARCHAR(260)\tCOLLATE NOCASE, "
         "path\tVARCHAR(260)\tCOLLATE NOCASE\t,size\tINTEGER, type\tTINYINT, userid INTERGER, "
         "timestr VARCHAR(260), UNIQUE (id))"}};
    const std::string tables = "SELECT sql FROM sqlite_master WHERE type='table' ORDER BY rowid;";
    EXPECT_EQ(Query(Db(DBWrapper::kConfigDb), tables), expectedConfig);
    EXPECT_EQ(Query(Db(DBWrapper::kTxlogDb), tables), expectedTxlog);
    EXPECT_EQ(Query(Db(DBWrapper::kLogDb), tables), expectedLog);

    // No disk with more room was offered: the work folder goes under the cache folder.
    const fs::path work = home.cacheHome() / "quorvacache";
    EXPECT_EQ(Options().GetWorkDir(), work);
    for (const char* sub : {"dnld", "edit", "upld", "sha", "ledir"}) {
        EXPECT_TRUE(fs::is_directory(work / sub)) << sub;
    }
    EXPECT_EQ(Query(Db(DBWrapper::kConfigDb),
                    "SELECT value FROM userconfig WHERE kind='folders' and name='work_dir';"),
              (Rows{{work.string()}}));

    // The next start finds everything and keeps the stored folder.
    ASSERT_TRUE(Options().Load());
    EXPECT_FALSE(Options().NeedCreateDatabases());
    EXPECT_EQ(Options().GetWorkDir(), work);
}

TEST_F(OptionsTest, WorkFolderGoesToTheFilesystemWithTheMostWholeGibibytes) {
    const fs::path fallback = "/home/u/.cache/quorvacache";
    // Whole GiB count: 5.9 GiB is 5, so the later 5 GiB disk does not beat it, 6 GiB does.
    EXPECT_EQ(COptions::ChooseWorkFolder({{"/a/q", 5 * kGiB}, {"/b/q", 5 * kGiB + kGiB * 9 / 10},
                                          {"/c/q", 6 * kGiB}},
                                         fallback),
              "/c/q");
    EXPECT_EQ(COptions::ChooseWorkFolder({{"/a/q", 2 * kGiB}, {"/b/q", 2 * kGiB + 100}}, fallback),
              "/a/q");
    // Less than one GiB never wins, nor does an empty list.
    EXPECT_EQ(COptions::ChooseWorkFolder({{"/a/q", kGiB - 1}, {"/b/q", 0}}, fallback), fallback);
    EXPECT_EQ(COptions::ChooseWorkFolder({}, fallback), fallback);

    // Offered mounts: the cache folder's filesystem first, then each writable mount.
    zorp::test::TempDir mount;
    Options().SetWorkFolderMounts(std::vector<fs::path>{mount.path(), mount / "missing"});
    auto candidates = Options().GetWorkFolderCandidates();
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0].folder, home.cacheHome() / "quorvacache");
    EXPECT_EQ(candidates[1].folder, mount / "quorvacache");
    EXPECT_GT(candidates[1].freeBytes, 0u);
}

TEST_F(OptionsTest, WorkFolderThatCannotBeCreatedFailsBothLoads) {
    // A file where the cache folder should be: nothing can be created below it, even as root.
    fs::remove_all(home.cacheHome());
    WriteFile(home.cacheHome(), "not a folder");
    logging::ScopedLogCapture log;
    EXPECT_FALSE(Options().Load());
    EXPECT_TRUE(log.Contains("COptions::handleInitWorkFold() create quorvacache failed."));
    EXPECT_FALSE(Options().ResetAndLoad());
    EXPECT_TRUE(Options().GetWorkDir().empty());

    fs::remove(home.cacheHome());
    EXPECT_TRUE(Options().ResetAndLoad());
    EXPECT_EQ(Options().GetWorkDir(), home.cacheHome() / "quorvacache");
}

TEST_F(OptionsTest, TheStoredExitTimeNeverPassesTheLimitAndNeverTheFuture) {
    ASSERT_TRUE(Options().Load());
    const int64_t before = std::time(nullptr);
    // Changes from 100 s ago were not handed over: the next start-up check must see them.
    Options().SetExitTimeLimit([](int64_t now) { return now - 100; });
    Options().SaveLastExitTime();
    ASSERT_TRUE(Options().Load());
    EXPECT_LE(Options().GetLastExitTime(), before - 95);
    EXPECT_GE(Options().GetLastExitTime(), before - 100);
    // A limit later than now stores now.
    Options().SetExitTimeLimit([](int64_t now) { return now + 1000; });
    Options().SaveLastExitTime();
    ASSERT_TRUE(Options().Load());
    EXPECT_LE(Options().GetLastExitTime(), before + 5);
    Options().SetExitTimeLimit({});
}

TEST_F(OptionsTest, SettingsAreStoredAndReadBack) {
    ASSERT_TRUE(Options().Load());
    EXPECT_TRUE(Options().IsFloatWndShow());
    EXPECT_EQ(Options().GetLastExitTime(), 0);

    Options().SetFloatWndShow(false);
    Options().SetAutoBackupSpeed(3);
    const int64_t before = std::time(nullptr);
    Options().SaveLastExitTime();
    ASSERT_TRUE(Options().Load());
    EXPECT_FALSE(Options().IsFloatWndShow());
    EXPECT_EQ(Options().GetAutoBackupSpeed(), 3);
    EXPECT_GE(Options().GetLastExitTime(), before);
    EXPECT_LE(Options().GetLastExitTime(), before + 5);

    // Only a stored 1 shows the window.
    ASSERT_TRUE(Options().SaveSetting("float_wnd_show", "2"));
    ASSERT_TRUE(Options().Load());
    EXPECT_FALSE(Options().IsFloatWndShow());
    ASSERT_TRUE(Options().SaveSetting("float_wnd_show", "1"));
    ASSERT_TRUE(Options().Load());
    EXPECT_TRUE(Options().IsFloatWndShow());

    // A stored work folder that is gone (an unplugged disk) is replaced by a new one.
    zorp::test::TempDir gone;
    ASSERT_TRUE(Options().SaveSetting("work_dir", (gone / "quorvacache").string()));
    ASSERT_TRUE(Options().Load());
    EXPECT_EQ(Options().GetWorkDir(), home.cacheHome() / "quorvacache");
}

TEST_F(OptionsTest, DropWindowPositionIsStoredAndOnlyAWholePairIsReadBack) {
    ASSERT_TRUE(Options().Load());
    EXPECT_FALSE(Options().GetFloatWndPos());
    Options().SetFloatWndPos(-1200, 35);  // a screen left of the primary one
    ASSERT_TRUE(Options().Load());
    EXPECT_EQ(Options().GetFloatWndPos(), std::make_pair(-1200, 35));
    for (const char* broken : {"", "12", "12,", ",4", "a,b", "1,2,3", "99999999999,1"}) {
        ASSERT_TRUE(Options().SaveSetting("float_wnd_pos", broken));
        ASSERT_TRUE(Options().Load());
        EXPECT_FALSE(Options().GetFloatWndPos()) << broken;
    }
}

TEST_F(OptionsTest, DatabasesOfAnOldBuildAreMigratedWithTheirRows) {
    const fs::path sample = fs::path(ZORP_TEST_DATA_DIR) / "old-schema" / "zor";
    fs::create_directories(home.userDataDir() / "zor");
    for (const char* name : {"config", "txlog", "log"}) {
        fs::copy_file(sample / name, home.userDataDir() / "zor" / name);
    }

    ASSERT_TRUE(Options().Load());
    EXPECT_FALSE(Options().NeedCreateDatabases());

    const fs::path log = Db(DBWrapper::kLogDb);
    EXPECT_EQ(Query(log, "SELECT id, name, path, size, type, userid, timestr FROM log ORDER BY id;"),
              (Rows{{"1", "report.pdf", "/home/alice/Documents", "12345", "1", "1", ""},
                    {"2", "фото 2019.jpg", "/home/alice/Pictures", "999", "2", "1", ""},
                    {"3", "notes.txt", "/home/bob", "0", "1", "2", ""}}));
    EXPECT_TRUE(Query(log, "SELECT name FROM sqlite_master WHERE name='__temp__log';").empty());

    const fs::path config = Db(DBWrapper::kConfigDb);
    EXPECT_EQ(Query(config, "SELECT sql FROM sqlite_master WHERE name='autobackupdir';"),
              (Rows{{"CREATE TABLE autobackupdir(id INTEGER PRIMARY KEY , path VARCHAR(260) COLLATE "
                     "NOCASE, pid\tINT, userid INTERGER, UNIQUE (id, path))"}}));
    EXPECT_EQ(Query(config, "SELECT name FROM sqlite_master WHERE name='userconfig';"),
              (Rows{{"userconfig"}}));
    EXPECT_EQ(Query(Db(DBWrapper::kTxlogDb), "SELECT path, pid FROM drag_dir;"),
              (Rows{{"/home/alice/Projects", "42"}}));

    // The old users keep their ids (the account name compares without case).
    Options().AddCookie("cookieUserAccount", "bob");
    EXPECT_TRUE(Options().LookupUser());
    EXPECT_EQ(Options().GetUserId(), 2);

    // The migrated table takes new history rows with their time.
    CWriteDbMgr::GetInstance().AddLog("new.txt", "/home/bob", 7, 1);
    ASSERT_TRUE(CWriteDbMgr::GetInstance().Flush(20000));
    Rows added = Query(log, "SELECT name, userid, length(timestr) FROM log WHERE id=4;");
    EXPECT_EQ(added, (Rows{{"new.txt", "2", "17"}}));

    // A second start finds nothing more to migrate.
    ASSERT_TRUE(Options().Load());
    EXPECT_EQ(Query(log, "SELECT count(*) FROM log;"), (Rows{{"4"}}));
}

TEST_F(OptionsTest, DeletingOnlyTheTransferDatabaseRebuildsAllThree) {
    ASSERT_TRUE(Options().Load());
    SignIn("carol");
    Options().SetAutoBackupSpeed(2);
    ASSERT_EQ(Query(Db(DBWrapper::kConfigDb), "SELECT count(*) FROM user;"), (Rows{{"1"}}));

    fs::remove(Db(DBWrapper::kTxlogDb));
    ASSERT_TRUE(Options().Load());
    EXPECT_TRUE(Options().NeedCreateDatabases());
    for (const char* name : {DBWrapper::kConfigDb, DBWrapper::kTxlogDb, DBWrapper::kLogDb}) {
        EXPECT_TRUE(fs::exists(Db(name))) << name;
    }
    EXPECT_TRUE(Query(Db(DBWrapper::kConfigDb), "SELECT * FROM user;").empty());
    EXPECT_EQ(Options().GetAutoBackupSpeed(), 0);
}

TEST_F(OptionsTest, ForeignLogDatabaseIsReportedAndTheOthersKeepWorking) {
    ASSERT_TRUE(Options().Load());
    SignIn("dave");
    const std::string garbage(4096, '\x5A');
    WriteFile(Db(DBWrapper::kLogDb), garbage);

    logging::ScopedLogCapture log;
    ASSERT_TRUE(Options().Load());  // all three files are there: nothing is rebuilt
    EXPECT_TRUE(log.Contains("File is not a SQLite 3 database"));
    EXPECT_TRUE(Options().LookupUser());

    auto& queue = CWriteDbMgr::GetInstance();
    const uint64_t droppedBefore = queue.GetDroppedJobCount();
    queue.AddLog("lost.txt", "/tmp", 1, 1);
    queue.AddDragDir("/home/dave/kept", 5, 0);
    queue.WriteTxBatch();
    Options().SetAutoBackupSpeed(4);
    ASSERT_TRUE(queue.Flush(20000));
    EXPECT_EQ(queue.GetDroppedJobCount(), droppedBefore + 1);
    EXPECT_TRUE(log.Contains("logging failed: "));

    EXPECT_EQ(ReadFile(Db(DBWrapper::kLogDb)), garbage);
    EXPECT_EQ(Query(Db(DBWrapper::kTxlogDb), "SELECT path FROM drag_dir;"),
              (Rows{{"/home/dave/kept"}}));
    ASSERT_TRUE(Options().Load());
    EXPECT_EQ(Options().GetAutoBackupSpeed(), 4);
}

TEST_F(OptionsTest, UsersGetIdsFromOneAndNamesWithQuotesRoundTrip) {
    ASSERT_TRUE(Options().Load());
    Options().AddCookie("cookieUserAccount", "first@example.com");
    EXPECT_FALSE(Options().LookupUser());
    EXPECT_EQ(Options().GetUserId(), 0);
    ASSERT_TRUE(Options().InsertUser());
    EXPECT_EQ(Options().GetUserId(), 1);

    for (const std::string account : {"O'Brien", "Zoë 测试'"}) {
        SignIn(account);
        const int id = Options().GetUserId();
        EXPECT_GE(id, 2);
        Options().SetUserId(0);
        EXPECT_TRUE(Options().LookupUser()) << account;
        EXPECT_EQ(Options().GetUserId(), id);
    }
    EXPECT_EQ(Query(Db(DBWrapper::kConfigDb), "SELECT id, name FROM user ORDER BY id;"),
              (Rows{{"1", "first@example.com"}, {"2", "O'Brien"}, {"3", "Zoë 测试'"}}));

    // Without the configuration database the lookup leaves the lists alone.
    Options().SetBackupPaths({"/some/folder"});
    fs::remove(Db(DBWrapper::kConfigDb));
    EXPECT_FALSE(Options().LookupUser());
    EXPECT_EQ(Options().GetBackupPaths(), (std::vector<fs::path>{"/some/folder"}));
}

TEST_F(OptionsTest, BackupSelectionIsStoredAndReadBack) {
    ASSERT_TRUE(Options().Load());
    SignIn("erin");
    zorp::test::TempDir folders;
    const fs::path a = folders / "Photos";
    const fs::path b = folders / "Erin's \"work\" — 文档";
    const fs::path c = folders / "c";
    for (const auto& dir : {a, b, c}) {
        fs::create_directories(dir);
    }
    const fs::path config = Db(DBWrapper::kConfigDb);
    const std::string rows = "SELECT path, pid, userid FROM autobackupdir ORDER BY id;";
    const std::string uid = std::to_string(Options().GetUserId());
    auto& queue = CWriteDbMgr::GetInstance();

    Options().SetBackupPaths({a, b});
    Options().ApplyBackupSelection();
    ASSERT_TRUE(queue.Flush(20000));
    EXPECT_EQ(Query(config, rows), (Rows{{a.string(), "-1", uid}, {b.string(), "-1", uid}}));
    EXPECT_TRUE(Options().IsBackupPath(folders / "PHOTOS"));

    Options().SetBackupPaths({b, c});
    Options().ApplyBackupSelection();
    ASSERT_TRUE(queue.Flush(20000));
    EXPECT_EQ(Query(config, rows), (Rows{{b.string(), "-1", uid}, {c.string(), "-1", uid}}));
    EXPECT_EQ(Options().GetBackupPaths(), (std::vector<fs::path>{b, c}));

    // Read back at the next sign-in; a folder that no longer exists is left out.
    Options().ClearBackupFolders();
    fs::remove(c);
    ASSERT_TRUE(Options().LookupUser());
    auto records = Options().GetBackupRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].path, b);
    EXPECT_EQ(records[0].pid, -1);
    EXPECT_EQ(Options().GetBackupPaths(), (std::vector<fs::path>{b}));
    // A second lookup replaces the lists rather than adding to them.
    ASSERT_TRUE(Options().LookupUser());
    EXPECT_EQ(Options().GetBackupRecords().size(), 1u);
}

TEST_F(OptionsTest, ServerUrlsComeFromAppConfigOrTheDefaults) {
    const fs::path appConfig = home.configHome() / "zorp" / "appConfig";
    WriteFile(appConfig, R"({"host": "web.cloud.example.org"})");
    Options().GenerateUrls();
    auto urls = Options().GetUrls();
    EXPECT_EQ(urls.webHost, "web.cloud.example.org");
    EXPECT_EQ(urls.webHostLine, "Host web.cloud.example.org");
    EXPECT_EQ(urls.downloadHostLine, "Host download.cloud.example.org");
    EXPECT_EQ(urls.download,
              "http://download.cloud.example.org/qcd/fileshare/downloadFileAction.json?");
    EXPECT_EQ(urls.getFile, "http://web.cloud.example.org/qcd/filebackup/getFileAction.json?");
    EXPECT_EQ(urls.getFileByName, "http://web.cloud.example.org/qcd/getFileByNameAction.json");

    for (const std::string text : {R"({"host": "localhost:18080"})", "{not json", R"({"host": 7})"}) {
        WriteFile(appConfig, text);
        logging::ScopedLogCapture log;
        Options().GenerateUrls();
        urls = Options().GetUrls();
        EXPECT_EQ(urls.webHost, "web.localhost:18080") << text;
        EXPECT_EQ(urls.download, "http://download.localhost:18080/qcd/fileshare/downloadFileAction.json?");
        EXPECT_EQ(log.Count("COptions::genereateUrls() use default urls"), 1u) << text;
    }
}

TEST_F(OptionsTest, ProxyAndCookieStrings) {
    Options().SetProxy("socks5://127.0.0.1:1080");
    EXPECT_EQ(Options().GetProxy(), "socks5h://127.0.0.1:1080");
    Options().SetProxy("http://127.0.0.1:3128");
    EXPECT_EQ(Options().GetProxy(), "http://127.0.0.1:3128");

    Options().AddCookie("cookieUid", "12345678901");
    Options().AddCookie("QSESSIONID", "abc");
    Options().AddCookie("theme", "dark");
    Options().RebuildCookieStrings();
    EXPECT_EQ(Options().GetUid(), 12345678901);
    EXPECT_EQ(Options().GetSessionString(), "qSessionId=abc");
    EXPECT_EQ(Options().GetCookieString(), "cookieUid=12345678901;QSESSIONID=abc;theme=dark;");
}
