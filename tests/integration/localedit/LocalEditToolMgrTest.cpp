#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cloud/CloudApi.h"
#include "core/TaskState.h"
#include "core/WindowMessages.h"
#include "integration/upload/UploadFixture.h"
#include "localedit/LocalEditToolMgr.h"
#include "platform/MessageTarget.h"
#include "support/ScopedTimeScale.h"
#include "upload/CalcShaResult.h"
#include "upload/ComputeShaHandler.h"

namespace zorp::test {
namespace {

// The local edit manager's side of the hashes.
class HashWindow : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (message.id == WM_NETWORK_ERROR) {
            ++networkErrors;
        }
        if (message.id == WM_LOCALEDIT_HASH_DONE) {
            const CalcShaResult* result = message.W<CalcShaResult>();
            EXPECT_NE(result, nullptr);
            if (result) {
                results.push_back(*result);
            }
        }
        return 0;
    }
    std::vector<CalcShaResult> results;
    int networkErrors = 0;
};

// The renewal period shortened to 174 ms: several renewals in well under a second.
class LocalEditToolMgrTest : public UploadFixture {
protected:
    static constexpr double kScale = 0.003;
    static constexpr const char* kOtherKey = "another client";

    void SetUp() override {
        UploadFixture::SetUp();
        hashWindowHandle = hashWindow.Attach(&loop);
        tool.SetNotifyWindow(hashWindowHandle);
        ASSERT_TRUE(tool.Start());
    }
    void TearDown() override {
        tool.Shutdown(10000);
        UploadFixture::TearDown();
    }

    // A file on the server (not locked).
    int64_t ServerFileId(const std::string& name) {
        CRequestContext context;
        const ServerReply reply = Upload(context, name, TestBytes(1000, 7));
        EXPECT_TRUE(reply.Succeeded()) << reply.ErrorText();
        return reply.File()["id"].asInt64();
    }
    // Whether another client could take the lock now (it gives it back at once).
    bool LockableByOthers(int64_t fid) {
        CRequestContext context;
        if (!CloudApi::LockFile(context, fid, kOtherKey).ok) {
            return false;
        }
        EXPECT_TRUE(CloudApi::UnlockFile(context, fid, kOtherKey).ok);
        return true;
    }
    size_t Requests(const std::string& action) { return server.RequestTexts(action).size(); }
    // The requests of the action for the file and the key, as the server received them.
    size_t RequestsFor(const std::string& action, int64_t fid, const std::string& escapedKey) {
        size_t count = 0;
        for (const auto& request : server.RequestTexts(action)) {
            const std::string& body = request.body;
            if (body.find("&fid=" + std::to_string(fid) + "&") != std::string::npos &&
                body.find("&lockType=1&appName=quorvaClient&lockKey=" + escapedKey) !=
                    std::string::npos) {
                ++count;
            }
        }
        return count;
    }
    // Every unlock the worker was asked for has been answered.
    bool WaitForUnlocksDone() {
        return WaitFor(
            [&] {
                const LocalEditToolMgr::Stats stats = tool.GetStats();
                return stats.unlocksWaiting == 0 && !stats.renewalArmed;
            },
            std::chrono::seconds(20));
    }
    bool WaitForRequests(const std::string& action, size_t count) {
        return WaitFor([&] { return Requests(action) >= count; }, std::chrono::seconds(20));
    }
    bool WaitForResults(size_t count) {
        return loop.RunUntil([&] { return hashWindow.results.size() >= count; }, 30000);
    }

    ScopedTimeScale scale{kScale};
    LocalEditToolMgr tool;
    HashWindow hashWindow;
    platform::WindowHandle hashWindowHandle = platform::kNoWindow;
};

TEST_F(LocalEditToolMgrTest, CopiesAreHashedInOrderWithTheUploadsHashAndUnreadableOnesReportedEmpty) {
    const std::filesystem::path big = local / "sha" / "big.bin";
    WriteFile(big, TestBytes(6 * 1024 * 1024 + 3, 1));
    std::vector<std::filesystem::path> copies{big};
    for (int i = 0; i < 3; ++i) {
        copies.push_back(local / "sha" / ("save" + std::to_string(i)));
        WriteFile(copies.back(), TestBytes(100 + i, 2 + i));
    }
    copies.push_back(local / "sha" / "missing");

    tool.addCalcShaFiles({copies[0]});
    tool.addCalcShaFiles({copies.begin() + 1, copies.end()});
    ASSERT_TRUE(WaitForResults(copies.size()));
    ASSERT_EQ(hashWindow.results.size(), copies.size());
    for (size_t i = 0; i + 1 < copies.size(); ++i) {
        const CalcShaResult& result = hashWindow.results[i];
        EXPECT_EQ(result.path, copies[i]);
        std::string expected;
        int64_t size = 0;
        ComputeShaHandler::GenerateQuorvaFileHash(copies[i], expected, size, nullptr);
        EXPECT_EQ(result.hash, expected);
        EXPECT_EQ(result.size, static_cast<int64_t>(std::filesystem::file_size(copies[i])));
        EXPECT_EQ(result.hash.substr(64), std::to_string(result.size)) << "the size in full";
    }
    EXPECT_EQ(hashWindow.results.back().path, copies.back());
    EXPECT_EQ(hashWindow.results.back().hash, "");
    EXPECT_EQ(hashWindow.results.back().size, 0);
}

TEST_F(LocalEditToolMgrTest, AnEditedUploadIsLockedOnItsCadenceWhateverElseComesAndUnlockedOnceAtItsEnd) {
    CUploadParam param = MakeFile("edited notes.txt", TestBytes(3 * kChunk + 5, 11));
    param.lockFlag = true;
    auto end = UploadFile(param);  // the transfer hands (fid, lock key) to the connected hook
    ASSERT_TRUE(end);
    ASSERT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    const int64_t fid = end->end.fid;
    ASSERT_TRUE(WaitFor([&] { return tool.GetStats().filesLocked == 1; }));
    EXPECT_FALSE(LockableByOthers(fid));

    // Hashes asked for all the time do not put the renewal off.
    const std::filesystem::path copy = local / "copy.txt";
    WriteFile(copy, "x");
    ASSERT_TRUE(WaitFor(
        [&] {
            tool.addCalcShaFiles({copy});
            return tool.GetStats().lockRequests >= 2;
        },
        std::chrono::seconds(20), std::chrono::milliseconds(20)));
    EXPECT_FALSE(LockableByOthers(fid));

    tool.unlockFile(fid, param.name);
    ASSERT_TRUE(WaitForUnlocksDone());
    EXPECT_TRUE(LockableByOthers(fid));
    EXPECT_EQ(RequestsFor("unlockFile", fid, "edited%20notes.txt"), 1u);
    EXPECT_EQ(tool.GetStats().unlockRequests, 1u);
    EXPECT_EQ(RequestsFor("lockFile", fid, "edited%20notes.txt"), tool.GetStats().lockRequests);
    EXPECT_EQ(tool.GetStats().lockFailures, 0u);
}

TEST_F(LocalEditToolMgrTest, AFileLockedForAnotherKeyRefusesTheEditUploadTheRenewalAndTheUnlock) {
    const int64_t fid = ServerFileId("shared.txt");
    CRequestContext context;
    ASSERT_TRUE(CloudApi::LockFile(context, fid, kOtherKey).ok);

    CUploadParam param = MakeFile("shared.txt", TestBytes(kChunk, 12));
    param.lockFlag = true;
    auto end = UploadFile(param);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_EQ(tool.GetStats().filesLocked, 0u) << "a refused upload holds no lock";

    tool.lockFile(fid, "shared.txt");
    ASSERT_TRUE(WaitFor([&] { return tool.GetStats().lockRequests >= 2; }));
    tool.unlockFile(fid, "shared.txt");
    ASSERT_TRUE(WaitForUnlocksDone()) << "a refusal is an answer";
    EXPECT_EQ(tool.GetStats().lockFailures + tool.GetStats().unlockFailures, 0u);
    EXPECT_EQ(tool.GetStats().unlockRequests, 1u);
    EXPECT_TRUE(CloudApi::LockFile(context, fid, kOtherKey).ok) << "still the other's";
    EXPECT_FALSE(CloudApi::LockFile(context, fid, "shared.txt").ok);
}

TEST_F(LocalEditToolMgrTest, LocksAndUnlocksWithoutAnAnswerAreRetriedAtTheNextRenewalUntilAnswered) {
    const int64_t fid = ServerFileId("flaky.txt");
    ASSERT_TRUE(server.SetFault("lockFile", "drop", {{"bytes", "0"}, {"count", "1"}}));
    tool.lockFile(fid, "flaky.txt");
    ASSERT_TRUE(WaitFor([&] { return tool.GetStats().lockRequests >= 2; }));
    EXPECT_EQ(tool.GetStats().lockFailures, 1u);
    EXPECT_FALSE(LockableByOthers(fid));

    ASSERT_TRUE(server.SetFault("unlockFile", "drop", {{"bytes", "0"}, {"count", "3"}}));
    ASSERT_TRUE(server.SetFault("unlockFile", "http", {{"status", "503"}, {"count", "1"}}));
    tool.unlockFile(fid, "flaky.txt");
    ASSERT_TRUE(WaitForUnlocksDone());
    EXPECT_EQ(tool.GetStats().unlockRequests, 5u);
    EXPECT_EQ(tool.GetStats().unlockFailures, 4u);
    EXPECT_EQ(tool.GetStats().unlocksWaiting, 0u);
    EXPECT_TRUE(LockableByOthers(fid));
    EXPECT_TRUE(loop.RunUntil([&] { return hashWindow.networkErrors > 0; }, 5000));
}

TEST_F(LocalEditToolMgrTest, AnUnlockDuringAServerOutageGoesOutWhenTheServerIsBack) {
    const int64_t fid = ServerFileId("outage.txt");
    tool.lockFile(fid, "outage.txt");
    ASSERT_TRUE(WaitFor([&] { return tool.GetStats().lockRequests >= 1; }));
    server.Stop();
    tool.unlockFile(fid, "outage.txt");
    ASSERT_TRUE(WaitFor([&] { return tool.GetStats().unlockFailures >= 2; }));
    EXPECT_EQ(tool.GetStats().unlocksWaiting, 1u);
    ASSERT_TRUE(server.Restart()) << server.Error();
    ASSERT_TRUE(WaitForUnlocksDone());
    EXPECT_TRUE(LockableByOthers(fid));
}

TEST_F(LocalEditToolMgrTest, ANewUploadsLockCancelsTheUnlockOfTheLastOneAndStopAllDropsWork) {
    const int64_t first = ServerFileId("first.txt");
    const int64_t second = ServerFileId("second.txt");
    CRequestContext context;
    ASSERT_TRUE(CloudApi::LockFile(context, second, "second.txt").ok);
    // The worker sits in the first file's unlock while the rest is asked for.
    ASSERT_TRUE(server.SetFault("unlockFile", "delay", {{"ms", "1500"}}));
    tool.unlockFile(first, "first.txt");
    ASSERT_TRUE(WaitForRequests("unlockFile", 1));
    tool.unlockFile(second, "second.txt");
    tool.lockFile(second, "second.txt");  // the file's next upload registered it again
    const std::filesystem::path copy = local / "queued.txt";
    WriteFile(copy, "x");
    tool.addCalcShaFiles({copy, copy});
    tool.stopAll();  // offline: the queued hashes and the renewal go

    ASSERT_TRUE(WaitForUnlocksDone());
    EXPECT_EQ(tool.GetStats().filesLocked, 0u);
    // New work after stopping runs; the sentinel is the only hash reported.
    tool.addCalcShaFiles({local / "sentinel"});
    ASSERT_TRUE(WaitForResults(1));
    ASSERT_EQ(hashWindow.results.size(), 1u);
    EXPECT_EQ(hashWindow.results[0].path, local / "sentinel");
    EXPECT_EQ(tool.GetStats().unlockRequests, 1u) << "the second file's unlock was taken back";
    EXPECT_EQ(RequestsFor("unlockFile", second, "second.txt"), 0u);
    EXPECT_FALSE(CloudApi::LockFile(context, second, kOtherKey).ok);
}

}  // namespace
}  // namespace zorp::test
