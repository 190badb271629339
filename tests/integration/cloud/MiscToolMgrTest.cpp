#include "CloudFixture.h"
#include "cloud/MiscToolMgr.h"

namespace zorp::test {
namespace {

class MiscToolMgrTest : public CloudFixture {
protected:
    void SetUp() override {
        CloudFixture::SetUp();
        misc.SetNotifyWindow(notifyWindow);
        ASSERT_TRUE(misc.Start());
    }
    void TearDown() override { EXPECT_TRUE(misc.Shutdown(15000)); }

    MiscToolMgr misc;
};

// The dispatcher's network timers rely on every check ending in one of the two answers:
// a check that answered nothing would leave the process offline for good.
TEST_F(MiscToolMgrTest, EveryNetworkCheckAnswersOkOrError) {
    misc.requestNetworkCheck();
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_OK) == 1; }, 5000));

    // The server answers with a connection closed before any reply: neither "host not found"
    // nor "not connected", and still no answer.
    ASSERT_TRUE(server.SetFault("root", "drop", {{"bytes", "0"}}));
    misc.requestNetworkCheck();
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_ERROR) == 1; }, 5000));

    server.Stop();
    misc.requestNetworkCheck();
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_ERROR) == 2; }, 5000));

    ASSERT_TRUE(server.Restart()) << server.Error();
    misc.requestNetworkCheck();
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_OK) == 2; }, 5000));
    loop.RunFor(100);
    EXPECT_EQ(recorder.Count(WM_NETWORK_ERROR), 2u) << "one answer per check";
    EXPECT_EQ(misc.GetNetworkCheckCount(), 4);
}

// Offline, the worker drops its work but still checks the network: that is how it learns
// it may go online again.
TEST_F(MiscToolMgrTest, PausedWorkerStillChecksTheNetwork) {
    misc.SetPaused(true);
    misc.requestNetworkCheck();
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_OK) == 1; }, 5000));
    misc.SetPaused(false);
    EXPECT_EQ(misc.GetRequestKind(), MiscToolMgr::kNoRequest);
}

// Requests that arrive faster than the worker takes them fold into one: the kind is a single
// slot, not a queue.
TEST_F(MiscToolMgrTest, RequestsMadeBeforeTheWorkerTakesThemFoldIntoOne) {
    ASSERT_TRUE(server.SetFault("root", "delay", {{"ms", "300"}}));
    for (int i = 0; i < 5; ++i) {
        misc.requestNetworkCheck();
    }
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_OK) >= 1; }, 5000));
    loop.RunFor(700);
    EXPECT_LE(misc.GetNetworkCheckCount(), 2);
    EXPECT_EQ(recorder.Count(WM_NETWORK_OK), static_cast<size_t>(misc.GetNetworkCheckCount()));
}

// Start-up and shutdown run the worker once per process, tests many times: a stop followed by
// a start must leave a worker that serves.
TEST_F(MiscToolMgrTest, StopsAndStartsAgain) {
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(misc.Shutdown(5000));
        EXPECT_TRUE(misc.Start());
    }
    misc.requestNetworkCheck();
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_OK) == 1; }, 5000));
}

// Uploads removed after their file was created on the server leave no orphan behind: deletions
// asked for while offline wait and go when online again; a refused one is not tried again.
TEST_F(MiscToolMgrTest, DeletionsAskedForOfflineGoWhenOnlineAndARefusedOneIsNotRetried) {
    std::vector<int64_t> fids;
    for (int i = 0; i < 5; ++i) {
        Json::Value file = server.Plant("orphan" + std::to_string(i), 1000);
        ASSERT_TRUE(file.isObject());
        fids.push_back(file["id"].asInt64());
    }
    const int64_t before = server.State()["files"].asInt64();
    misc.SetPaused(true);
    for (int64_t fid : fids) {
        misc.queueDeleteFile(fid);
    }
    loop.RunFor(300);
    EXPECT_TRUE(server.RequestTexts("deleteFile").empty()) << "nothing is sent offline";
    EXPECT_EQ(misc.GetDeleteQueueSize(), 5u);

    misc.SetPaused(false);
    ASSERT_TRUE(WaitFor([&] { return misc.GetDeletedCount() == 5; }));
    EXPECT_EQ(server.State()["files"].asInt64(), before - 5);
    EXPECT_EQ(server.RequestTexts("deleteFile").size(), 5u);

    // The server refuses one: logged, dropped, the next one goes.
    ASSERT_TRUE(server.SetFault("deleteFile", "status", {{"status", "1"}, {"count", "1"}}));
    misc.queueDeleteFile(fids[0]);
    Json::Value last = server.Plant("last", 10);
    misc.queueDeleteFile(last["id"].asInt64());
    ASSERT_TRUE(WaitFor([&] { return misc.GetDeleteQueueSize() == 0 && misc.GetDeletedCount() == 6; }));
    loop.RunFor(200);
    EXPECT_EQ(server.RequestTexts("deleteFile").size(), 7u);
}

// The server cannot be reached: the deletion stays queued (the process goes offline) and goes
// once it is back.
TEST_F(MiscToolMgrTest, ADeletionThatCannotReachTheServerWaitsForIt) {
    Json::Value file = server.Plant("kept", 100);
    server.Stop();
    misc.queueDeleteFile(file["id"].asInt64());
    ASSERT_TRUE(loop.RunUntil([&] { return recorder.Count(WM_NETWORK_ERROR) >= 1; }, 5000));
    misc.SetPaused(true);
    EXPECT_EQ(misc.GetDeleteQueueSize(), 1u);
    ASSERT_TRUE(server.Restart()) << server.Error();
    misc.SetPaused(false);
    ASSERT_TRUE(WaitFor([&] { return misc.GetDeletedCount() == 1; }));
    EXPECT_EQ(misc.GetDeleteQueueSize(), 0u);
}

// A paste names its folder to the window; one made while offline waits for the online state.
TEST_F(MiscToolMgrTest, APasteReachesTheWindowWithItsFolderAndWaitsWhileOffline) {
    struct PasteWindow : platform::MessageTarget {
        int64_t HandleMessage(platform::Message& message) override {
            if (auto* folder = message.W<std::filesystem::path>(); message.id == WM_PASTE_DETECTED && folder) {
                folders.push_back(*folder);
            }
            return 0;
        }
        std::vector<std::filesystem::path> folders;
    } window;
    misc.SetNotifyWindow(window.Attach());
    misc.SetPaused(true);
    misc.requestPasteTarget("/home/user/Desktop");
    loop.RunFor(200);
    EXPECT_TRUE(window.folders.empty());
    misc.SetPaused(false);
    ASSERT_TRUE(loop.RunUntil([&] { return window.folders.size() == 1; }, 5000));
    EXPECT_EQ(window.folders.front(), "/home/user/Desktop");
}

}  // namespace
}  // namespace zorp::test
