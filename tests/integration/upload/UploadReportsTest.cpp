#include <json/reader.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>

#include "UploadFixture.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkEncoder.h"
#include "link/LinkProtocol.h"
#include "support/LinkTestPage.h"
#include "upload/CEasyUploader.h"

namespace zorp::test {
namespace {

Json::Value Parse(const std::string& text) {
    Json::Value root;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    return root;
}

// What the windows and the page hear of an upload.
class UploadReportsTest : public UploadFixture {
protected:
    void TearDown() override {
        CEasyUploader::SetLockHandler(nullptr);
        ClientInterfaceMgr::GetInstance().Shutdown(5000);
        UploadFixture::TearDown();
    }

    void ConnectPage() {
        auto& link = ClientInterfaceMgr::GetInstance();
        link.SetNotifyWindow(notifyWindow);
        link.SetListenPort(0);
        ASSERT_EQ(link.start(), 0);
        ASSERT_TRUE(link.WaitForListening(5000));
        ASSERT_TRUE(page.Connect(link.GetListenPort()));
        ASSERT_TRUE(page.SendRequest(LinkProtocol::In::kHello));
        ASSERT_EQ(page.NextMessage(), LinkProtocol::SimpleMsg(LinkProtocol::Out::kHelloReply));
    }

    LinkTestPage page;
};

TEST_F(UploadReportsTest, PageAndWindowFollowTheUpload) {
    ConnectPage();
    const std::string data = TestBytes(16 * kChunk, 40);
    const CUploadParam param = MakeFile("reported.bin", data, 0);
    COptions::GetInstance().m_speedLimitKiB = 640;  // about 3.2 s for the file
    const auto start = std::chrono::steady_clock::now();
    auto end = UploadFile(param);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(end);
    ASSERT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    const int64_t fid = end->end.fid;

    // Registered, then progress on the meter's ticks, then complete with the server's record.
    auto created = page.WaitFor(LinkProtocol::Out::kUploadCreated);
    ASSERT_TRUE(created);
    const Json::Value createdEntry = Parse(*created)["files"][0];
    EXPECT_EQ(createdEntry["fid"].asInt64(), fid);
    EXPECT_EQ(createdEntry["info"]["name"].asString(), "reported.bin");

    auto progress = page.WaitFor(LinkProtocol::Out::kUploadProgress);
    ASSERT_TRUE(progress);
    const Json::Value progressEntry = Parse(*progress)["files"][0];
    EXPECT_EQ(progressEntry["fid"].asInt64(), fid);
    EXPECT_EQ(progressEntry["size"].asInt64(), param.fileSize);
    EXPECT_EQ(progressEntry["position"].asInt64() % static_cast<int64_t>(kChunk), 0);

    auto complete = page.WaitFor(LinkProtocol::Out::kUploadComplete);
    ASSERT_TRUE(complete);
    const Json::Value completeEntry = Parse(*complete)["files"][0];
    EXPECT_EQ(completeEntry["fid"].asInt64(), fid);
    EXPECT_EQ(completeEntry["info"]["status"].asInt(), 1);
    EXPECT_EQ(completeEntry["info"]["hash"].asString(), param.hash);

    // The window got progress at most once per tick, positions on chunk borders, moving on.
    const auto& records = taskWindow.progress[param.taskIndex];
    ASSERT_FALSE(records.empty());
    EXPECT_LE(records.size(), static_cast<size_t>(seconds / 1.2) + 1);
    int64_t last = -1;
    for (const auto& record : records) {
        EXPECT_EQ(record.fid, fid);
        EXPECT_EQ(record.fileSize, param.fileSize);
        EXPECT_EQ(record.breakPoint % static_cast<int64_t>(kChunk), 0);
        EXPECT_GE(record.breakPoint, last);
        last = record.breakPoint;
    }
    EXPECT_GT(records.back().speed, 0u);
}

// Content the server holds already completes at the registration: the page still hears the
// upload created before it hears it complete.
TEST_F(UploadReportsTest, AnInstantUploadIsCreatedBeforeItIsComplete) {
    ConnectPage();
    const std::string data = TestBytes(3 * kChunk, 41);
    auto first = UploadFile(MakeFile("first.bin", data));
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status.state, TSE_COMPLETED);
    auto copy = UploadFile(MakeFile("copy.bin", data));
    ASSERT_TRUE(copy);
    ASSERT_EQ(copy->status.state, TSE_SERVER_COMPLETED);
    const int64_t fid = copy->end.fid;

    std::vector<LinkProtocol::Out> news;  // of the copy, in the order they came
    std::vector<std::string> seen;
    while (std::find(news.begin(), news.end(), LinkProtocol::Out::kUploadComplete) == news.end()) {
        auto message = page.NextMessage();
        ASSERT_TRUE(message) << testing::PrintToString(seen);
        seen.push_back(*message);
        ASSERT_LT(seen.size(), 100u) << testing::PrintToString(seen);
        auto type = LinkTestPage::TypeOf(*message);
        const Json::Value root = Parse(*message);
        for (const auto& entry : root["files"]) {
            if (type && entry.isObject() && entry["fid"].asInt64() == fid) {
                news.push_back(*type);
            }
        }
    }
    EXPECT_EQ(news, (std::vector<LinkProtocol::Out>{LinkProtocol::Out::kUploadCreated,
                                                    LinkProtocol::Out::kUploadComplete}));
}

TEST_F(UploadReportsTest, EditedFileUploadIsLockedAndItsCopyRemoved) {
    std::mutex mutex;
    std::vector<std::pair<int64_t, std::string>> handed;
    CEasyUploader::SetLockHandler([&](int64_t fid, const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex);
        handed.emplace_back(fid, key);
    });
    const std::string data = TestBytes(2 * kChunk + 9, 41);
    CUploadParam param = MakeFile("edited report.docx", data);
    param.lockFlag = true;
    auto end = UploadFile(param);
    ASSERT_TRUE(end);
    ASSERT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(handed.size(), 1u);
        EXPECT_EQ(handed[0].first, end->end.fid);
        EXPECT_EQ(handed[0].second, "edited report.docx");
    }
    EXPECT_FALSE(std::filesystem::exists(param.LocalPath())) << "the edit copy is removed";
    EXPECT_EQ(Download(end->end.fid), data);
    // The server holds the file locked for the client: nobody else may delete it.
    CRequestContext context;
    auto removal =
        context.performRequest(RequestKind::kDeleteFile, RequestParams().Add("fid", end->end.fid));
    EXPECT_EQ(removal.Status(), 102007);
}

TEST_F(UploadReportsTest, FailedEditUploadKeepsItsCopy) {
    CUploadParam param = MakeFile("kept.docx", TestBytes(kChunk, 42));
    param.lockFlag = true;
    ASSERT_TRUE(server.SetFault("upload", "status", {{"status", "102012"}}));
    auto end = UploadFile(param);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_TRUE(std::filesystem::exists(param.LocalPath()));
}

}  // namespace
}  // namespace zorp::test
