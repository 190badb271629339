// Downloads onto a file system that fills up (a small tmpfs of the test's own): the failure is
// clear and logged, the cache keeps what arrived, no half file appears under the real name, and
// once there is room again the retry resumes and delivers the file byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/Logging.h"
#include "download/DownloadDelivery.h"
#include "download/DownloadResult.h"
#include "integration/download/DownloadFixture.h"
#include "support/ScopedTmpfs.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kDiskBytes = 4 << 20;
constexpr int64_t kFileBytes = 3 << 20;
constexpr int64_t kStallAt = 1 << 20;

class FullDiskDownloadTest : public DownloadFixture {
protected:
    void SetUp() override {
        DownloadFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        disk.emplace(mountRoot / "small", kDiskBytes);
        if (!disk->Mounted()) {
            GTEST_SKIP() << "no small file system to fill: " << disk->Error();
        }
    }

    // Nothing under the real name, nor under the copy's temporary name.
    static void ExpectNothingDelivered(const CDownloadParam& param) {
        EXPECT_FALSE(fs::exists(param.LocalPath())) << "half a file under its real name";
        EXPECT_FALSE(fs::exists(DownloadDelivery::TemporaryPath(param.LocalPath())));
    }

    // The cache folder on a small file system of its own.
    bool SmallCacheDisk() {
        cacheDisk.emplace(COptions::GetInstance().GetWorkDir() / "dnld", kDiskBytes);
        return cacheDisk->Mounted();
    }

    // The server stops for a while after the first MiB; `disk` is filled meanwhile, up to
    // `leave` bytes.
    std::shared_ptr<CDownloaderMgr> FillWhileTheServerStalls(const CDownloadParam& param,
                                                             ScopedTmpfs& disk, uint64_t leave = 0) {
        EXPECT_TRUE(server.SetFault("download", "stall",
                                    {{"ms", "2500"}, {"bytes", std::to_string(kStallAt)}}));
        auto task = StartTask(param);
        EXPECT_TRUE(WaitFor([&] { return CacheSize(param) >= kStallAt; }));
        EXPECT_GT(disk.Fill(leave), 0u);
        EXPECT_LT(disk.FreeBytes(), leave + 4096u);
        return task;
    }

    TempDir mountRoot{"zorp-full-disk"};
    std::optional<ScopedTmpfs> disk;       // for targets; unmounted before its folder goes
    std::optional<ScopedTmpfs> cacheDisk;  // on the work folder's "dnld"
};

TEST_F(FullDiskDownloadTest, ACacheThatFillsTheDiskFailsClearlyKeepsItsBytesAndResumes) {
    // The cache on the small file system, the target on the big one.
    ASSERT_TRUE(SmallCacheDisk()) << cacheDisk->Error();
    const CloudFile file = Plant("big.bin", kFileBytes, 31);
    const CDownloadParam param = Param(file, "big.bin", kFileBytes, /*withHash=*/true);

    logging::ScopedLogCapture log;
    auto task = FillWhileTheServerStalls(param, *cacheDisk);
    auto end = WaitEnd(param.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(end->end.result, kDlDiskFull);
    EXPECT_EQ(end->status.text, "Disk is full");
    EXPECT_TRUE(log.Contains("can't write")) << "the failure is logged";
    ExpectNothingDelivered(param);
    const int64_t kept = CacheSize(param);
    EXPECT_GE(kept, kStallAt);
    EXPECT_LT(kept, kFileBytes);
    EXPECT_TRUE(ReadFile(CacheFile(param)) == file.content.substr(0, static_cast<size_t>(kept)))
        << "the cache holds exactly the file's first bytes";

    cacheDisk->Unfill();
    EXPECT_EQ(task->Start(), 0);
    end = WaitEnd(param.taskId, 2);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_TRUE(ReadFile(param.LocalPath()) == file.content) << "not byte for byte the file";
    EXPECT_EQ(BreakPoints(), (std::vector<int64_t>{0, kept})) << "the retry resumed at the cache's end";
}

TEST_F(FullDiskDownloadTest, ADeliveryThatFillsTheDiskLeavesNoHalfFileAndTheRetryDeliversFromTheCache) {
    // The cache on the big disk, the target on the small one: the delivery copies.
    const CloudFile file = Plant("copy.bin", kFileBytes, 32);
    fs::create_directories(disk->Path() / "target");
    CDownloadParam param = Param(file, "copy.bin", kFileBytes);
    param.folder = disk->Path() / "target";

    // Room for a third of the file: the copy gets under way and then runs out.
    logging::ScopedLogCapture log;
    auto task = FillWhileTheServerStalls(param, *disk, 1 << 20);
    auto end = WaitEnd(param.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(end->end.result, kDlDeliveryFailed);
    EXPECT_EQ(end->status.text, "Can't save the file: No space left on device");
    EXPECT_TRUE(log.Contains("can't deliver")) << "the failure is logged";
    ExpectNothingDelivered(param);
    EXPECT_EQ(CacheSize(param), kFileBytes) << "the whole file stays in the cache";

    disk->Unfill();
    EXPECT_EQ(task->Start(), 0);
    end = WaitEnd(param.taskId, 2);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    EXPECT_TRUE(ReadFile(param.LocalPath()) == file.content) << "not byte for byte the file";
    EXPECT_EQ(BreakPoints(), (std::vector<int64_t>{0})) << "the retry only delivered";
    EXPECT_FALSE(fs::exists(DownloadDelivery::TemporaryPath(param.LocalPath())));
}

TEST_F(FullDiskDownloadTest, AFileLargerThanTheFreeSpaceIsRefusedBeforeAByteIsFetched) {
    ASSERT_TRUE(SmallCacheDisk()) << cacheDisk->Error();
    const CloudFile file = Plant("huge.bin", 5 << 20, 33);
    const CDownloadParam param = Param(file, "huge.bin", 5 << 20);
    StartTask(param);
    auto end = WaitEnd(param.taskId);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(end->end.result, kDlDiskFull);
    EXPECT_EQ(end->status.text, "Disk is full");
    EXPECT_TRUE(BreakPoints().empty());
    ExpectNothingDelivered(param);
}

}  // namespace
}  // namespace zorp::test
