// The fault switch's aim: a fault that lets the first requests of its action pass strikes the
// one after them, so a test can hit the n-th chunk of an upload or the n-th connection of a
// download without racing the transfer.
#include <gtest/gtest.h>

#include "integration/cloud/CloudFixture.h"

namespace zorp::test {
namespace {

class FaultSwitchTest : public CloudFixture {
protected:
    ServerReply ListRoot() {
        return context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", 0));
    }
    CRequestContext context;
};

TEST_F(FaultSwitchTest, SkippedRequestsPassAndTheNextOnesAreHit) {
    ASSERT_TRUE(server.SetFault("getSubFiles", "status", {{"skip", "2"}, {"count", "2"}}));
    EXPECT_TRUE(ListRoot().Succeeded());
    EXPECT_TRUE(ListRoot().Succeeded());
    EXPECT_EQ(server.State()["faults"][0]["skip"].asInt(), 0);
    EXPECT_FALSE(ListRoot().Succeeded());
    EXPECT_FALSE(ListRoot().Succeeded());
    EXPECT_TRUE(ListRoot().Succeeded()) << "the count is used up";
    EXPECT_FALSE(server.SetFault("getSubFiles", "status", {{"skip", "-1"}}));
    EXPECT_FALSE(server.SetFault("getSubFiles", "status", {{"skip", "1001"}}));
}

TEST_F(FaultSwitchTest, ADownloadFromTheWrongPlaceAndAnEnvelopeForTheFile) {
    const std::string data = TestBytes(300000, 50);
    const int64_t fid = Upload(context, "w.bin", data).File()["id"].asInt64();
    ASSERT_GT(fid, 0);
    ASSERT_TRUE(server.SetFault("download", "breakpoint", {{"breakPoint", "1000"}}));
    EXPECT_EQ(Download(fid, 10), data.substr(1000)) << "asked from 10, sent from 1000";
    EXPECT_EQ(Download(fid, 10), data.substr(10));

    ASSERT_TRUE(server.SetFault("download", "malformed"));
    ServerReply outcome;
    const std::string body = Download(fid, 0, &outcome);
    EXPECT_EQ(outcome.httpCode, 200);
    EXPECT_FALSE(outcome.parsed);
    EXPECT_EQ(body.rfind("{\"status\"", 0), 0u) << body;
    EXPECT_EQ(Download(fid), data);
}

}  // namespace
}  // namespace zorp::test
