// One download task against a real zorp-cloud: the run from the probe to the delivery, its
// resumes, the server's faults, and what never reaches the cache file or the destination.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "DownloadFixture.h"
#include "core/Logging.h"
#include "download/DownloadDelivery.h"
#include "download/DownloadResult.h"
#include "platform/FileSystem.h"
#include "support/ContentHash.h"
#include "support/ScopedTimeScale.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;

class EasyDownloaderTest : public DownloadFixture {};

TEST_F(EasyDownloaderTest, FirstRunOfAKnownSizeDeliversByRenamingTheCache) {
    const CloudFile file = Plant("report.bin", 3 * 1024 * 1024 + 77, 3);
    const CDownloadParam param = Param(file, "report.bin", 3 * 1024 * 1024 + 77, true);
    auto task = StartTask(param);
    auto end = WaitEnd(param.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(end->end.result, kDlTransferRan);
    EXPECT_EQ(end->end.position, param.size);
    EXPECT_EQ(ReadFile(local / "report.bin"), file.content);
    EXPECT_FALSE(fs::exists(CacheFile(param).parent_path())) << "the cache folder goes";
    EXPECT_EQ(BreakPoints(), std::vector<int64_t>{0}) << "one request, from the start";
    EXPECT_EQ(HeadCount(), 0u) << "a known size needs no probe";
    ASSERT_FALSE(taskWindow.statuses[param.taskId].empty());
    EXPECT_EQ(taskWindow.statuses[param.taskId].front().state, TSE_TRANSFERRING);
    // Progress comes at the meter's tick, and once when the last byte is held.
    auto& progress = taskWindow.progress[param.taskId];
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().done, param.size);
    EXPECT_EQ(progress.back().size, param.size);
    for (size_t i = 1; i < progress.size(); ++i) {
        EXPECT_LT(progress[i - 1].done, progress[i].done) << "never the same figure twice";
    }
}

TEST_F(EasyDownloaderTest, PauseAndResumeAsksForTheCachedBytesAndAppends) {
    const int64_t size = 2 * 1024 * 1024;
    const CloudFile file = Plant("movie.bin", size, 4);
    // The server sends 700,000 bytes, then holds the connection for a long while.
    ASSERT_TRUE(server.SetFault("download", "stall", {{"ms", "20000"}, {"bytes", "700000"}}));
    const CDownloadParam param = Param(file, "movie.bin", size);
    auto task = StartTask(param);
    ASSERT_TRUE(WaitFor([&] { return CacheSize(param) == 700000; }));
    task->Pause();
    auto end = WaitEnd(param.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_PAUSED);
    EXPECT_EQ(end->end.position, 700000);
    EXPECT_FALSE(fs::exists(local / "movie.bin"));

    // The next run of the same task goes on from the cache file's end.
    server.ClearFaults();
    EXPECT_EQ(task->Start(), 0);
    end = WaitEnd(param.taskId, 2);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(BreakPoints(), std::vector<int64_t>{700000});
    EXPECT_EQ(ReadFile(local / "movie.bin"), file.content);
}

TEST_F(EasyDownloaderTest, ReconnectsContinueTheCacheAndAStallSpendsNoRetry) {
    ScopedTimeScale shortStallLimit(0.05);  // libcurl gives up a silent connection after 1 s
    const int64_t size = 1024 * 1024 + 5;
    const CloudFile file = Plant("data.bin", size, 5);

    // Without any retry budget, two stalls are still reconnected, each from where the cache
    // file ends: one before the first byte, one after 50,000 bytes.
    COptions::GetInstance().m_retryCount = 0;
    ASSERT_TRUE(server.SetFault("download", "stall", {{"ms", "8000"}}));
    ASSERT_TRUE(server.SetFault("download", "stall", {{"ms", "8000"}, {"bytes", "50000"}}));
    const CDownloadParam stalled = Param(file, "stalled.bin", size, true);
    StartTask(stalled);
    auto end = WaitEnd(stalled.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(BreakPoints(), (std::vector<int64_t>{0, 0, 50000}));
    EXPECT_EQ(ReadFile(local / "stalled.bin"), file.content) << "checked against its hash";

    // A dropped connection spends a retry: one is mended, the second ends the run, and what
    // arrived stays in the cache for the next run.
    COptions::GetInstance().m_retryCount = 1;
    ASSERT_TRUE(server.ClearFaults());
    ASSERT_TRUE(server.SetFault("download", "drop", {{"bytes", "10000"}}));
    const CDownloadParam dropped = Param(file, "dropped.bin", size, true);
    StartTask(dropped);
    end = WaitEnd(dropped.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(BreakPoints(), (std::vector<int64_t>{0, 10000}));
    EXPECT_EQ(ReadFile(local / "dropped.bin"), file.content);

    ASSERT_TRUE(server.ClearFaults());
    ASSERT_TRUE(server.SetFault("download", "drop", {{"bytes", "10000"}, {"count", "2"}}));
    const CDownloadParam failed = Param(file, "failed.bin", size);
    StartTask(failed);
    end = WaitEnd(failed.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(CacheSize(failed), 20000);
    EXPECT_EQ(end->end.position, 20000);
}

TEST_F(EasyDownloaderTest, ErrorRepliesNeverReachTheCacheFile) {
    const CloudFile file = Plant("a.bin", 300000, 6);
    for (const char* code : {"404", "500"}) {
        SCOPED_TRACE(code);
        ASSERT_TRUE(server.SetFault("download", "http", {{"code", code}}));
        CDownloadParam param = Param(file, std::string("e") + code + ".bin", 300000);
        // Half of the file is cached already; the error's JSON body must not follow it.
        const fs::path cache = CacheFile(param);
        WriteFile(cache, file.content.substr(0, 150000));
        StartTask(param);
        auto end = WaitEnd(param.taskId);
        ASSERT_TRUE(end);
        EXPECT_EQ(end->status.state, TSE_FAILED);
        EXPECT_NE(end->status.text.find(std::string("HTTP/1.1 ") + code), std::string::npos)
            << end->status.text;
        EXPECT_EQ(ReadFile(cache), file.content.substr(0, 150000));
        EXPECT_FALSE(fs::exists(local / param.name));
    }
}

TEST_F(EasyDownloaderTest, BytesBeyondTheSizeAreCutOffAndTheRunCompletes) {
    const CloudFile file = Plant("long.bin", 200000, 7);
    logging::ScopedLogCapture log;
    const CDownloadParam param = Param(file, "short.bin", 64000);
    StartTask(param);
    auto end = WaitEnd(param.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(ReadFile(local / "short.bin"), file.content.substr(0, 64000));
    EXPECT_TRUE(log.Contains("range reach out, stop connection"));
}

TEST_F(EasyDownloaderTest, AnUnknownSizeIsProbedAndEmptyFilesArriveToo) {
    const CloudFile file = Plant("probed.bin", 123457, 8);
    const CDownloadParam param = Param(file, "probed.bin", 0);
    auto task = StartTask(param);
    auto end = WaitEnd(param.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(HeadCount(), 1u);
    EXPECT_EQ(task->GetParam().size, 0) << "the task keeps what the page said";
    EXPECT_EQ(ReadFile(local / "probed.bin"), file.content);

    const CloudFile empty = Plant("empty.bin", 0, 1);
    const CDownloadParam none = Param(empty, "empty.bin", 0);
    StartTask(none);
    end = WaitEnd(none.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_TRUE(fs::exists(local / "empty.bin"));
    EXPECT_EQ(fs::file_size(local / "empty.bin"), 0u);

    // A file the server does not have fails as "File not exists".
    CDownloadParam missing = Param(CloudFile{999999, "", ""}, "missing.bin", 0);
    StartTask(missing);
    end = WaitEnd(missing.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(end->end.result, kDlNoSize);
    EXPECT_EQ(end->status.text, "File not exists");
}

// Sizes and positions are 64-bit: the probe reads a total past 2 GiB, the resume asks for a
// break point past it, the hash runs over a prefix of more than 2 GiB.
TEST_F(EasyDownloaderTest, ASparseFileOfTwoGibibytesAndOneByte) {
    const int64_t size = (int64_t{1} << 31) + 1;
    Json::Value planted = server.Plant("huge.bin", size, 0, "zero");
    ASSERT_TRUE(planted.isObject());
    const CloudFile file{planted["id"].asInt64(), planted["hash"].asString(), ""};
    server.ClearFaults();
    CDownloadParam param = Param(file, "huge.bin", 0, true);
    // The first 2 GiB are cached already (zeros, as a sparse file).
    const fs::path cache = CacheFile(param);
    fs::create_directories(cache.parent_path());
    { std::ofstream(cache).close(); }
    fs::resize_file(cache, static_cast<uintmax_t>(size - 1));
    StartTask(param);
    auto end = WaitEnd(param.taskId, 1, 120000);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(end->end.position, size);
    EXPECT_EQ(HeadCount(), 1u);
    EXPECT_EQ(BreakPoints(), std::vector<int64_t>{size - 1});
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(local / "huge.bin")), size);
    ASSERT_FALSE(taskWindow.progress[param.taskId].empty());
    EXPECT_EQ(taskWindow.progress[param.taskId].back().done, size);
}

// The free space must hold the bytes still to come, not the whole file: a file larger than the
// free space is refused unless most of it is cached already.
TEST_F(EasyDownloaderTest, TheSpaceCheckCountsTheBytesStillToCome) {
    const CloudFile file = Plant("room.bin", 1000, 15);
    const auto free = platform::FreeDiskSpace(local.path());
    ASSERT_TRUE(free);
    const int64_t size = static_cast<int64_t>(*free) + (int64_t{64} << 20);
    const CDownloadParam tooBig = Param(file, "room.bin", size);
    StartTask(tooBig);
    auto end = WaitEnd(tooBig.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(end->end.result, kDlDiskFull);
    EXPECT_EQ(end->status.text, "Disk is full");
    EXPECT_TRUE(BreakPoints().empty());

    // The same size with all but a few bytes cached (a sparse file costs no room): it passes
    // the check and asks the server from the cache's end.
    CDownloadParam mostlyHere = Param(file, "here.bin", size);
    const fs::path cache = CacheFile(mostlyHere);
    fs::create_directories(cache.parent_path());
    { std::ofstream(cache).close(); }
    fs::resize_file(cache, static_cast<uintmax_t>(size - 4096));
    StartTask(mostlyHere);
    end = WaitEnd(mostlyHere.taskId);
    ASSERT_TRUE(end);
    EXPECT_NE(end->end.result, kDlDiskFull);
    EXPECT_EQ(BreakPoints(), std::vector<int64_t>{size - 4096});
    EXPECT_EQ(CacheSize(mostlyHere), 0) << "the server holds less: the cache was of no use";
}

TEST_F(EasyDownloaderTest, AContentThatDoesNotMatchItsHashIsNeverDelivered) {
    const CloudFile file = Plant("checked.bin", 400000, 9);
    // One corrupted reply: the cache is dropped and the file fetched again from zero.
    ASSERT_TRUE(server.SetFault("download", "corrupt", {{"offset", "300000"}}));
    const CDownloadParam param = Param(file, "checked.bin", 400000, true);
    StartTask(param);
    auto end = WaitEnd(param.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(BreakPoints(), (std::vector<int64_t>{0, 0}));
    EXPECT_EQ(ReadFile(local / "checked.bin"), file.content);

    // Corrupted twice: the run fails, and neither the file nor its cache is left.
    ASSERT_TRUE(server.SetFault("download", "corrupt", {{"offset", "5"}, {"count", "2"}}));
    const CDownloadParam bad = Param(file, "bad.bin", 400000, true);
    StartTask(bad);
    end = WaitEnd(bad.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(end->end.result, kDlHashMismatch);
    EXPECT_FALSE(fs::exists(local / "bad.bin"));
    EXPECT_FALSE(fs::exists(CacheFile(bad).parent_path()));
}

TEST_F(EasyDownloaderTest, AnExistingFileIsReplacedOnlyWhenTheNewOneIsComplete) {
    const CloudFile file = Plant("doc.bin", 500000, 10);
    WriteFile(local / "doc.bin", "the old version");
    ASSERT_TRUE(server.SetFault("download", "stall", {{"ms", "3000"}, {"bytes", "250000"}}));
    const CDownloadParam param = Param(file, "doc.bin", 500000);
    StartTask(param);
    ASSERT_TRUE(WaitFor([&] { return CacheSize(param) == 250000; }));
    EXPECT_EQ(ReadFile(local / "doc.bin"), "the old version") << "half a file never shows";
    auto end = WaitEnd(param.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(ReadFile(local / "doc.bin"), file.content);
    EXPECT_FALSE(fs::exists(DownloadDelivery::TemporaryPath(local / "doc.bin")));
}

TEST_F(EasyDownloaderTest, AFailedDeliveryKeepsTheCacheAndTheRetryDeliversWithoutFetching) {
    const CloudFile file = Plant("keep.bin", 200000, 11);
    CDownloadParam param = Param(file, "keep.bin", 200000);
    param.folder = local / "blocked" / "inside";
    WriteFile(local / "blocked", "a file where the folder should be");
    auto task = StartTask(param);
    auto end = WaitEnd(param.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(end->end.result, kDlDeliveryFailed);
    EXPECT_NE(end->status.text.find("Can't save the file"), std::string::npos) << end->status.text;
    EXPECT_EQ(CacheSize(param), 200000);

    fs::remove(local / "blocked");
    EXPECT_EQ(task->Start(), 0);
    end = WaitEnd(param.taskId, 2);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(ReadFile(param.LocalPath()), file.content);
    EXPECT_EQ(BreakPoints().size(), 1u) << "the second run only delivered";
}

TEST_F(EasyDownloaderTest, NamesThatAreNotOnePathComponentWriteNothing) {
    const CloudFile file = Plant("x.bin", 1000, 12);
    for (const char* name : {"../escape.bin", "..", "", "a/b"}) {
        SCOPED_TRACE(name);
        const CDownloadParam param = Param(file, name, 1000);
        StartTask(param);
        auto end = WaitEnd(param.taskId);
        ASSERT_TRUE(end);
        EXPECT_EQ(end->status.state, TSE_FAILED);
        EXPECT_EQ(end->end.result, kDlBadName);
    }
    EXPECT_FALSE(fs::exists(local.path().parent_path() / "escape.bin"));
    EXPECT_TRUE(BreakPoints().empty()) << "nothing was even asked for";
}

TEST_F(EasyDownloaderTest, APoolThatStopsMidTransferLeavesTheTaskReadyNotCompleted) {
    const CloudFile file = Plant("cut.bin", 600000, 13);
    ASSERT_TRUE(server.SetFault("download", "stall", {{"ms", "20000"}, {"bytes", "200000"}}));
    const CDownloadParam param = Param(file, "cut.bin", 600000);
    auto task = StartTask(param);
    ASSERT_TRUE(WaitFor([&] { return CacheSize(param) == 200000; }));
    CDnldThreadMgr::GetInstance().Stop();
    auto end = WaitEnd(param.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_READY);
    EXPECT_EQ(end->end.result, kDlPoolStopped);
    EXPECT_FALSE(fs::exists(local / "cut.bin"));

    // The next start goes on from the cache.
    server.ClearFaults();
    ASSERT_TRUE(CDnldThreadMgr::GetInstance().Start());
    EXPECT_EQ(task->Start(), 0);
    end = WaitEnd(param.taskId, 2);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_EQ(BreakPoints(), std::vector<int64_t>{200000});
    EXPECT_EQ(ReadFile(local / "cut.bin"), file.content);
}

TEST_F(EasyDownloaderTest, AStoppedTaskEndsDestroyedWithoutAnEndMessage) {
    const CloudFile file = Plant("gone.bin", 600000, 14);
    ASSERT_TRUE(server.SetFault("download", "stall", {{"ms", "20000"}, {"bytes", "100000"}}));
    const CDownloadParam param = Param(file, "gone.bin", 600000);
    auto task = StartTask(param);
    ASSERT_TRUE(WaitFor([&] { return CacheSize(param) == 100000; }));
    EXPECT_EQ(task->Stop(), TSE_DESTROYING);
    ASSERT_TRUE(loop.RunUntil([&] { return task->QueryDestroyed() == TSE_DESTROYED; }, 30000));
    loop.RunFor(100);
    EXPECT_TRUE(taskWindow.ends[param.taskId].empty());
    EXPECT_EQ(CacheSize(param), 100000) << "a stop keeps the bytes for a later download";
}

}  // namespace
}  // namespace zorp::test
