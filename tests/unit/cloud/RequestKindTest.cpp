#include <gtest/gtest.h>

#include "cloud/CRequestContext.h"
#include "cloud/RequestKind.h"
#include "cloud/RequestParams.h"

namespace {

Json::Value Parse(const std::string& text) {
    Json::Value root;
    EXPECT_TRUE(CRequestContext::ParseReply(text, root)) << text;
    return root;
}

TEST(JudgeReplyTest, StatusZeroOrDescriptionOkSucceeds) {
    EXPECT_TRUE(CRequestContext::judgeReply(Parse(R"({"status":5,"description":"OK"})")));
    EXPECT_TRUE(CRequestContext::judgeReply(Parse(R"({"status":0,"description":"x"})")));
    EXPECT_FALSE(CRequestContext::judgeReply(Parse(R"({"status":5,"description":"x"})")));
}

TEST(JudgeReplyTest, OddEnvelopesFailInsteadOfThrowing) {
    EXPECT_FALSE(CRequestContext::judgeReply(Parse(R"([0])")));
    EXPECT_FALSE(CRequestContext::judgeReply(Parse(R"({"status":"0","description":"ok"})")));
    EXPECT_FALSE(CRequestContext::judgeReply(Parse(R"({"description":"x"})")));
    EXPECT_TRUE(CRequestContext::judgeReply(Parse(R"({"status":"x","description":"OK"})")));
    Json::Value root;
    EXPECT_FALSE(CRequestContext::ParseReply(R"({"status":0,"data":)", root));
}

TEST(ServerReplyTest, MembersAreReadSafelyFromAnyText) {
    ServerReply reply;
    reply.parsed = CRequestContext::ParseReply(R"({"status":0,"description":"OK","data":{"file":{"id":7}}})", reply.root);
    EXPECT_TRUE(reply.Succeeded());
    EXPECT_EQ(reply.File()["id"].asInt64(), 7);
    ServerReply odd;
    odd.parsed = CRequestContext::ParseReply(R"({"status":0,"data":"text"})", odd.root);
    EXPECT_TRUE(odd.File().isNull());
    EXPECT_EQ(odd.Status(), 0);
    ServerReply none;
    EXPECT_FALSE(none.Succeeded());
    EXPECT_EQ(none.Status(), -1);
    EXPECT_TRUE(none.Data().isNull());
}

TEST(RequestParamsTest, SessionComesFirstThenPairsInOrder) {
    RequestParams params("qSessionId=abc");
    params.Add("pid", -1).AddText("name", "a b/ü+&").Add("size", int64_t{5000000000}).AddShare(0);
    EXPECT_EQ(params.Text(), "qSessionId=abc&pid=-1&name=a%20b%2F%C3%BC%2B%26&size=5000000000");
    params.AddShare(1).AddRaw("&lockType=1&appName=quorvaClient");
    EXPECT_EQ(params.Text().substr(params.Text().size() - 40),
              "&share=1&lockType=1&appName=quorvaClient");
    EXPECT_EQ(RequestParams("").Add("fid", 3).Text(), "&fid=3")
        << "without cookies the text starts with &";
}

TEST(RequestKindTest, HostLinesComeFromTheUrlTable) {
    COptions::ServerUrls urls;
    urls.webHostLine = "Host web.example.test";
    urls.downloadHostLine = "Host download.example.test";
    EXPECT_EQ(HeaderLines(HeaderSet::kListing, urls).front(), "Host web.example.test");
    EXPECT_EQ(HeaderLines(HeaderSet::kDownload, urls).front(), "Host download.example.test");
    EXPECT_TRUE(HeaderLines(HeaderSet::kNone, urls).empty());
    for (HeaderSet set : {HeaderSet::kForm, HeaderSet::kFormPlainAgent, HeaderSet::kUploadInit,
                          HeaderSet::kGetFile, HeaderSet::kUploadData}) {
        for (const auto& line : HeaderLines(set, urls)) {
            EXPECT_NE(line.find(": "), std::string::npos) << line;
        }
    }
}

}  // namespace
