#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "WalkFixture.h"
#include "core/Logging.h"
#include "support/Unprivileged.h"
#include "upload/TravelDirHandler.h"
#include "upload/TravelDirMgr.h"

namespace fs = std::filesystem;

namespace zorp::test {
namespace {

class TravelDirTest : public WalkFixture {
protected:
    void SetUp() override {
        WalkFixture::SetUp();
        ASSERT_TRUE(walker.Start());
    }
    void TearDown() override {
        walker.Stop();
        WalkFixture::TearDown();
    }

    // Walks a dropped folder (registered as the batch's root) to its last batch.
    bool Walk(const fs::path& folder, uint32_t timeoutMs = 20000) {
        list.addDroppedRoot(folder);
        const size_t before = LastBatches();
        if (!walker.AddJob(window, folder)) {
            return false;
        }
        return loop.RunUntil([&] { return LastBatches() > before; }, timeoutMs);
    }
    size_t LastBatches() {
        auto batches = uploadWindow.Of(WM_TRAVEL_BATCH);
        return static_cast<size_t>(std::count_if(batches.begin(), batches.end(), [](const auto& b) {
            return b.lValue == TravelDirHandler::kLastBatch;
        }));
    }
    std::set<fs::path> HandedOn() {
        auto paths = list.takeSubFiles(1000000);
        return std::set<fs::path>(paths.begin(), paths.end());
    }
    size_t CreatePathRequests() { return server.RequestHeaderLines("createPath").size(); }

    TravelDirMgr walker;
};

TEST_F(TravelDirTest, AFolderOf250FilesIsHandedOnAs101And101And48) {
    const fs::path drop = local / "Drop";
    for (int i = 0; i < 250; ++i) {
        WriteFile(drop / ("f" + std::to_string(1000 + i) + ".txt"), std::to_string(i));
    }
    const size_t created = CreatePathRequests();
    logging::ScopedLogCapture capture;
    ASSERT_TRUE(Walk(drop));

    auto batches = uploadWindow.Of(WM_TRAVEL_BATCH);
    ASSERT_EQ(batches.size(), 3u);
    EXPECT_EQ(batches[0].lValue, TravelDirHandler::kMoreBatches);
    EXPECT_EQ(batches[1].lValue, TravelDirHandler::kMoreBatches);
    EXPECT_EQ(batches[2].lValue, TravelDirHandler::kLastBatch);
    EXPECT_EQ(capture.Count("TravelDirHandler::sendResultToCalcSha:input: 101"), 2u);
    EXPECT_EQ(capture.Count("TravelDirHandler::sendResultToCalcSha:input: 48"), 1u);
    EXPECT_EQ(list.getRemainingCount(), 250) << "counted before the first batch";
    EXPECT_EQ(list.getToCompareCount(), 250);
    EXPECT_EQ(HandedOn().size(), 250u);

    const int64_t dropId = FolderId("Drop");
    EXPECT_GT(dropId, 0);
    EXPECT_EQ(list.getDroppedRoots()[drop].cloudId, dropId);
    EXPECT_EQ(list.getFolderId(FileBackupMgr::folderKey(targetId, "Drop")), dropId);
    EXPECT_EQ(CreatePathRequests() - created, 1u) << "a folder without subfolders is created once";
}

TEST_F(TravelDirTest, OnlyFoldersWithoutSubfoldersAreCreatedAndIconFilesAreLeftOut) {
    const fs::path drop = local / "Drop";
    WriteFile(drop / "a.txt", "a");
    WriteFile(drop / "desktop.ini", "[.ShellClassInfo]");
    WriteFile(drop / ".directory", "[Desktop Entry]\nIcon=x");
    fs::create_directories(drop / "empty");
    WriteFile(drop / "only" / "inner" / "b.txt", "b");
    WriteFile(drop / "only" / "inner" / "Desktop.INI", "");
    fs::create_directories(drop / "only2" / "deeper");
    WriteFile(drop / "files" / "c.txt", "c");

    const size_t created = CreatePathRequests();
    ASSERT_TRUE(Walk(drop));
    EXPECT_EQ(HandedOn(), (std::set<fs::path>{drop / "a.txt", drop / "only" / "inner" / "b.txt",
                                              drop / "files" / "c.txt"}));
    EXPECT_EQ(list.getRemainingCount(), 3) << "the count leaves out what is not handed on";

    // Drop, empty, only/inner, only2/deeper and files: the folders holding only folders are
    // made by the server on the way.
    EXPECT_EQ(CreatePathRequests() - created, 5u);
    for (const char* folder : {"Drop/empty", "Drop/only/inner", "Drop/only2/deeper", "Drop/files"}) {
        EXPECT_GT(FolderId(folder), 0) << folder;
    }
    EXPECT_EQ(Children(FolderId("Drop/only")).size(), 1u);
}

// Links to folders, broken links and special files are skipped by rule; a link to a file
// outside the dropped folder is not sent and is reported, one to a file inside it is sent.
TEST_F(TravelDirTest, LinksToFoldersAndSpecialFilesAreSkippedAndTheWalkEnds) {
    const fs::path drop = local / "Drop";
    WriteFile(drop / "sub" / "real.txt", "r");
    WriteFile(local / "outside.txt", "o");
    fs::create_directory_symlink(drop, drop / "sub" / "loop");  // an ancestor: endless if followed
    fs::create_directory_symlink(local.path(), drop / "up");
    fs::create_symlink(local / "outside.txt", drop / "file-link");
    fs::create_symlink("../sub/real.txt", drop / "sub" / "inner-link");
    fs::create_symlink(local / "nothing", drop / "dangling");
    ASSERT_EQ(::mkfifo((drop / "pipe").c_str(), 0600), 0);

    logging::ScopedLogCapture capture;
    ASSERT_TRUE(Walk(drop));
    EXPECT_EQ(HandedOn(),
              (std::set<fs::path>{drop / "sub" / "real.txt", drop / "sub" / "inner-link"}));
    EXPECT_EQ(uploadWindow.Unsent(), std::set<fs::path>{drop / "file-link"});
    EXPECT_TRUE(capture.Contains("a symbolic link to a file outside the dropped folder: " +
                                 (drop / "file-link").string()));
    EXPECT_EQ(capture.Count("skipped, symbolic link to a folder"), 2u);
    EXPECT_TRUE(capture.Contains("skipped, not a regular file: " + (drop / "pipe").string()));
    EXPECT_TRUE(capture.Contains("skipped, gone or a broken link: " + (drop / "dangling").string()));
}

// Makes `levels` nested folders named `name` below `base` with relative calls, so that the
// whole path may grow past what the kernel takes in one call; returns the relative path.
fs::path MakeDeep(const fs::path& base, const std::string& name, int levels) {
    const fs::path saved = fs::current_path();
    fs::current_path(base);
    fs::path relative;
    for (int i = 0; i < levels; ++i) {
        fs::create_directory(name);
        fs::current_path(name);
        relative /= name;
    }
    fs::current_path(saved);
    return relative;
}

// Runs `body` with the working folder at `base`/`relative` reached step by step.
template <typename Body>
void InDeepFolder(const fs::path& base, const fs::path& relative, Body body) {
    const fs::path saved = fs::current_path();
    fs::current_path(base);
    for (const auto& part : relative) {
        fs::current_path(part);
    }
    body();
    fs::current_path(saved);
}

TEST_F(TravelDirTest, OddNamesAreHandedOnOrLoggedAndSkippedAndTheBatchGoesOn) {
    const fs::path drop = local / "Drop";
    const fs::path quoted = drop / "it's \"quoted\".txt";
    const fs::path newline = drop / "line\nbreak.txt";
    const fs::path inOddFolder = drop / "tab\tfolder" / "x.txt";
    WriteFile(quoted, "q");
    WriteFile(newline, "n");
    WriteFile(drop / "latin1-caf\xE9.txt", "l");
    WriteFile(inOddFolder, "x");

    // 16 folders of 250 bytes: the 16th ends past 4,000 bytes, a 200-byte name beyond it
    // past 4,095.
    const std::string longName(250, 'd');
    const fs::path deep = MakeDeep(drop, longName, 16);
    const fs::path deepFile = drop / deep / "short.txt";
    WriteFile(deepFile, "s");
    const std::string tooLong = std::string(200, 'f') + ".txt";
    InDeepFolder(drop, deep, [&] { WriteFile(tooLong, "too long"); });
    ASSERT_LT(deepFile.native().size(), 4096u);
    ASSERT_GT((drop / deep / tooLong).native().size(), 4095u);

    logging::ScopedLogCapture capture;
    ASSERT_TRUE(Walk(drop));
    EXPECT_EQ(HandedOn(), (std::set<fs::path>{quoted, newline, inOddFolder, deepFile}));
    EXPECT_EQ(list.getRemainingCount(), 4);
    EXPECT_TRUE(capture.Contains("not sent, name is not UTF-8"));
    EXPECT_TRUE(capture.Contains("not sent, path longer than 4095 bytes: " + tooLong));
    EXPECT_EQ(uploadWindow.Unsent(),
              (std::set<fs::path>{drop / "latin1-caf\xE9.txt", drop / deep / tooLong}));
    // The server refuses the tab in a folder name: that folder is not made, its file goes on.
    EXPECT_EQ(FolderId("Drop/tab\tfolder"), FileBackupMgr::kUnknownFolder);
    EXPECT_GT(FolderId("Drop/" + deep.generic_string()), 0);

    InDeepFolder(drop, deep, [&] { fs::remove(tooLong); });
}

TEST_F(TravelDirTest, AnUnreadableSubfolderIsLoggedAndSkipped) {
    walker.Stop();  // the child is forked only once this thread is alone
    ::chmod(local.path().c_str(), 0777);
    const fs::path drop = local / "Drop";
    WriteFile(drop / "open" / "a.txt", "a");
    WriteFile(drop / "closed" / "b.txt", "b");
    WriteFile(drop / "c.txt", "c");
    for (const auto& entry : fs::recursive_directory_iterator(drop)) {
        ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
    }
    ::chmod(drop.c_str(), 0755);
    ::chmod((drop / "closed").c_str(), 0700);  // root's: the unprivileged walk cannot list it
    list.addDroppedRoot(drop);

    // The walk runs in a child without the privileges to read "closed"; the job runs outside
    // a pool there, so the child has no other thread.
    int rc = RunUnprivileged([&]() -> int {
        logging::ScopedLogCapture capture;
        TravelDirHandler job(std::make_unique<TravelDirParam>(TravelDirParam{window, drop}), 0);
        job.Run();
        auto paths = list.takeSubFiles(100);
        std::set<fs::path> handed(paths.begin(), paths.end());
        if (handed != std::set<fs::path>{drop / "open" / "a.txt", drop / "c.txt"}) {
            return 1;
        }
        if (!capture.Contains("not sent, can't read " + (drop / "closed").string())) {
            return 2;
        }
        return list.getRemainingCount() == 2 ? 0 : 3;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_GT(FolderId("Drop/open"), 0);
    EXPECT_EQ(FolderId("Drop/closed"), FileBackupMgr::kUnknownFolder) << "unknown content: not made";
}

TEST_F(TravelDirTest, ADroppedFolderThatCannotBeCreatedIsReportedByName) {
    const fs::path refused = local / "bad\tname";
    WriteFile(refused / "a.txt", "a");
    list.addDroppedRoot(refused);
    ASSERT_TRUE(walker.AddJob(window, refused));
    ASSERT_TRUE(loop.RunUntil([&] { return uploadWindow.Count(WM_TRAVEL_FAILED) == 1; }, 10000));
    EXPECT_EQ(uploadWindow.Of(WM_TRAVEL_FAILED)[0].text, "bad\tname");

    const fs::path vanished = local / "Vanished";
    ASSERT_TRUE(walker.AddJob(window, vanished));
    ASSERT_TRUE(loop.RunUntil([&] { return uploadWindow.Count(WM_TRAVEL_FAILED) == 2; }, 10000));
    EXPECT_EQ(uploadWindow.Of(WM_TRAVEL_FAILED)[1].text, "Vanished");

    EXPECT_EQ(uploadWindow.Count(WM_TRAVEL_BATCH), 0u);
    EXPECT_EQ(list.getSubFileCount(), 0u);
    EXPECT_EQ(list.getRemainingCount(), 0);
}

TEST_F(TravelDirTest, AnUnreachableServerIsANetworkErrorAndAFailedFolder) {
    const fs::path drop = local / "Drop";
    WriteFile(drop / "a.txt", "a");
    server.Stop();
    list.addDroppedRoot(drop);
    ASSERT_TRUE(walker.AddJob(window, drop));
    ASSERT_TRUE(loop.RunUntil([&] { return uploadWindow.Count(WM_TRAVEL_FAILED) == 1; }, 10000));
    EXPECT_EQ(uploadWindow.Count(WM_NETWORK_ERROR), 1u);
}

TEST_F(TravelDirTest, StoppingTheWalkersEndsAWalkWithoutFurtherBatches) {
    const fs::path drop = local / "Drop";
    for (int i = 0; i < 3000; ++i) {
        WriteFile(drop / ("f" + std::to_string(i)), "");
    }
    list.addDroppedRoot(drop);
    ASSERT_TRUE(walker.AddJob(window, drop));
    ASSERT_TRUE(loop.RunUntil([&] { return uploadWindow.Count(WM_TRAVEL_BATCH) >= 1; }, 20000));
    walker.Stop();
    EXPECT_EQ(walker.GetJobCount(), 0u);
    loop.RunFor(200);
    const size_t batches = uploadWindow.Count(WM_TRAVEL_BATCH);
    EXPECT_LT(batches, 29u);
    EXPECT_EQ(LastBatches(), 0u);
    EXPECT_EQ(list.getSubFileCount(), batches * 101);
    EXPECT_FALSE(walker.AddJob(window, drop)) << "a stopped manager takes no job";
}

TEST_F(TravelDirTest, AHundredThousandFilesInOneFolderAreAllHandedOn) {
    const fs::path drop = local / "Drop";
    fs::create_directories(drop);
    constexpr int kCount = 100000;
    for (int i = 0; i < kCount; ++i) {
        WriteFile(drop / ("file-" + std::to_string(i)), "");
    }
    walker.SetBatchPauseMs(0);
    ASSERT_TRUE(Walk(drop, 120000));
    EXPECT_EQ(list.getSubFileCount(), static_cast<size_t>(kCount));
    EXPECT_EQ(list.getRemainingCount(), kCount);
    EXPECT_EQ(uploadWindow.Count(WM_TRAVEL_BATCH), static_cast<size_t>(kCount / 101 + 1));
}

}  // namespace
}  // namespace zorp::test
