// The automatic backup with the real zorp: backup folders as the settings window stores them
// (table autobackupdir of the configuration database), the start-up check of what changed
// while zorp was not running, the folder monitor afterwards, and a kill -9 in the middle.
#include <csignal>
#include <ctime>
#include <fstream>

#include "UploadE2EFixture.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

class BackupE2ETest : public UploadE2EFixture {
protected:
    // Stored while zorp is not running, for every user it knows (it runs as the page's user).
    void AddBackupFolder(const fs::path& folder) {
        DBWrapper db(home / "data" / "Quorva" / "User Data" / DBWrapper::kConfigDb);
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.query("SELECT id FROM user;"));
        const auto users = db.rows();
        ASSERT_FALSE(users.empty());
        for (const auto& row : users) {
            ASSERT_TRUE(db.executeSQL("INSERT INTO autobackupdir VALUES(NULL,'" +
                                      DBWrapper::EscapeText(folder.string()) + "',-1," + row[0] +
                                      ");"));
        }
        db.close();
    }
    // The cloud folder a backup folder lands in (below the root), 0 while there is none.
    int64_t CloudFolderOf(const std::string& name) {
        for (const CloudFileEntry& entry : Children(0)) {
            if (entry.name == name && entry.type == CloudFileEntry::kTypeFolder) {
                return entry.id;
            }
        }
        return 0;
    }
    static std::string Names(const Tree& tree) {
        std::string names;
        for (const auto& [name, content] : tree) {
            names += name + (content.size() < 40 ? "=" + content : "") + " ";
        }
        return names;
    }
    Tree Expected(const fs::path& folder, const std::set<std::string>& leftOut) {
        Tree tree = LocalTree(folder, "");
        for (const std::string& name : leftOut) {
            tree.erase(name);
        }
        tree.erase(".directory");
        tree.erase("");  // the backup folder itself: its cloud folder is the one compared  // the folder icon of the KDE desktops, never sent
        return tree;
    }
};

TEST_F(BackupE2ETest, WrittenWhileDownGoesUpAtStartReadOnlyDoesNotAndAKillMidBackupLosesNothing) {
    const fs::path docs = local / "Docs";
    WriteFile(docs / "read.txt", "written before the last clean exit");
    WriteFile(docs / "kept" / "old.txt", "also before it");
    // The check counts the second of the exit as changed (a write in it may have come after
    // the exit time was taken): the old files are made a second earlier.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    auto zorp = StartZorp();
    EndZorp(zorp);  // the databases, the user and a clean exit time
    AddBackupFolder(docs);
    {
        DBWrapper db(home / "data" / "Quorva" / "User Data" / DBWrapper::kConfigDb);
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.query("SELECT value FROM userconfig WHERE name='last_exit_time';"));
        ASSERT_EQ(db.rows().size(), 1u);
        const int64_t exitTime = std::stoll(db.rows()[0][0]);
        EXPECT_GE(exitTime, static_cast<int64_t>(std::time(nullptr)) - 60);
        db.close();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // past the exit's second

    { std::ifstream(docs / "read.txt").get(); }
    WriteFile(docs / "new.txt", "written while zorp was not running");
    WriteFile(docs / "kept" / "deep.bin", TestBytes(300000, 7));
    WriteFile(docs / "kept" / "~$new.docx", "an office lock file");
    WriteFile(docs / "desktop.ini", "[.ShellClassInfo]");
    const std::set<std::string> leftOut{"read.txt", "kept/old.txt", "kept/~$new.docx",
                                        "desktop.ini"};

    zorp = StartZorp();
    int64_t cloud = 0;
    ASSERT_TRUE(WaitFor([&] { return (cloud = CloudFolderOf("Docs")) > 0; }, std::chrono::seconds(30)))
        << LatestLog();
    Tree expected{{"kept/", ""},
                  {"new.txt", "written while zorp was not running"},
                  {"kept/deep.bin", TestBytes(300000, 7)}};
    ASSERT_TRUE(WaitFor([&] { return ServerTree(server, cloud) == expected; },
                        std::chrono::seconds(60)))
        << Names(ServerTree(server, cloud)) << LatestLog();

    // Live: files saved now go up after the quiet period; a big batch is cut by kill -9.
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "40"}, {"count", "1000"}}));
    for (int save = 0; save < 5; ++save) {
        WriteFile(docs / "saved.txt", "save " + std::to_string(save));
    }
    for (int i = 0; i < 12; ++i) {
        WriteFile(docs / "batch" / ("b" + std::to_string(i) + ".bin"), TestBytes(600000, 20 + i));
    }
    ASSERT_TRUE(WaitFor([&] { return ChunkTargets().size() >= 6; }, std::chrono::seconds(60)))
        << LatestLog();
    zorp->Signal(SIGKILL);
    ASSERT_TRUE(zorp->Wait(std::chrono::seconds(10)));
    ASSERT_TRUE(server.ClearFaults());

    zorp = StartZorp();
    expected = Expected(docs, leftOut);
    ASSERT_TRUE(WaitFor([&] { return ServerTree(server, cloud) == expected; },
                        std::chrono::seconds(120)))
        << Names(ServerTree(server, cloud)) << " expected " << Names(expected) << LatestLog();
    // The file saved five times went up once before the kill, or once after it.
    EXPECT_EQ(ServerTree(server, cloud)["saved.txt"], "save 4");
    EndZorp(zorp);
}

}  // namespace
}  // namespace zorp::test
