#include <atomic>
#include <thread>

#include "CloudFixture.h"

namespace zorp::test {
namespace {

class CloudConcurrencyTest : public CloudFixture {};

TEST_F(CloudConcurrencyTest, ThreeUploadsAndThreeDownloadsAtOnce) {
    CRequestContext setup;
    std::vector<std::string> stored;
    std::vector<int64_t> storedIds;
    for (uint32_t i = 0; i < 3; ++i) {
        stored.push_back(TestBytes(6 * kChunk + i, 100 + i));
        storedIds.push_back(Upload(setup, "down" + std::to_string(i), stored.back()).File()["id"].asInt64());
    }
    std::vector<std::string> fresh;
    for (uint32_t i = 0; i < 3; ++i) {
        fresh.push_back(TestBytes(8 * kChunk + 7 * i, 200 + i));
    }
    std::vector<ServerReply> uploaded(3);
    std::vector<std::string> downloaded(3);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            CRequestContext context(CRequestContext::HandlePolicy::kKeepForNext);
            uploaded[i] = Upload(context, "up" + std::to_string(i), fresh[i]);
        });
        threads.emplace_back([&, i] { downloaded[i] = Download(storedIds[i]); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(uploaded[i].Succeeded()) << uploaded[i].text;
        EXPECT_EQ(uploaded[i].File()["status"].asInt(), 1);
        EXPECT_EQ(Download(uploaded[i].File()["id"].asInt64()), fresh[i]);
        EXPECT_EQ(downloaded[i], stored[i]);
    }
}

// Two clients push different contents under one name at the same time. Whatever order their
// chunks take, the file that ends up complete holds exactly one of the two contents.
TEST_F(CloudConcurrencyTest, UploadsOfTheSameNameNeverMixTheirContents) {
    const std::string a = TestBytes(6 * kChunk, 300);
    const std::string b = TestBytes(6 * kChunk, 301);
    std::atomic<bool> go{false};
    auto run = [&](const std::string& data, ServerReply& last) {
        CRequestContext context(CRequestContext::HandlePolicy::kKeepForNext);
        while (!go) {
            std::this_thread::yield();
        }
        for (int attempt = 0; attempt < 20; ++attempt) {
            last = Upload(context, "same.bin", data);
            if (last.Succeeded() && last.File()["status"].asInt() == 1) {
                return;
            }
        }
    };
    ServerReply lastA;
    ServerReply lastB;
    std::thread ta(run, std::cref(a), std::ref(lastA));
    std::thread tb(run, std::cref(b), std::ref(lastB));
    go = true;
    ta.join();
    tb.join();
    CRequestContext context;
    auto listing = context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", 0));
    ASSERT_EQ(listing.Data()["files"].size(), 1u);
    const Json::Value file = listing.Data()["files"][0];
    const std::string content = Download(file["id"].asInt64());
    ASSERT_TRUE(content == a || content == b) << "mixed content of " << content.size() << " bytes";
    EXPECT_EQ(file["hash"].asString(), ContentHash(content));
}

TEST_F(CloudConcurrencyTest, TwoFilesWithTheSameContentFinishingTogetherShareIt) {
    const std::string data = TestBytes(4 * kChunk, 400);
    std::vector<ServerReply> replies(2);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            CRequestContext context(CRequestContext::HandlePolicy::kKeepForNext);
            replies[i] = Upload(context, "twin" + std::to_string(i), data);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& reply : replies) {
        ASSERT_TRUE(reply.Succeeded()) << reply.text;
        EXPECT_EQ(Download(reply.File()["id"].asInt64()), data);
    }
    // Deleting one leaves the other's content in place.
    CRequestContext context;
    ASSERT_TRUE(context
                    .performRequest(RequestKind::kDeleteFile,
                                    RequestParams().Add("fid", replies[0].File()["id"].asInt64()))
                    .Succeeded());
    EXPECT_EQ(Download(replies[1].File()["id"].asInt64()), data);
}

}  // namespace
}  // namespace zorp::test
