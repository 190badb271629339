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

}  // namespace
}  // namespace zorp::test
