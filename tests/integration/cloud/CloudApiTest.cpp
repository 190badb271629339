#include <map>

#include "CloudFixture.h"

namespace zorp::test {
namespace {

// Every action of CloudApi against a real zorp-cloud: the exact text the server received
// (request line, form body) and the typed result read from its reply.
class CloudApiTest : public CloudFixture {
protected:
    CloudServer::RequestText Last(const std::string& action) {
        auto texts = server.RequestTexts(action);
        return texts.empty() ? CloudServer::RequestText{} : texts.back();
    }
    static std::string Session() { return std::string("qSessionId=") + kSession; }

    std::map<std::string, CloudFileEntry> ByName(const std::vector<CloudFileEntry>& files) {
        std::map<std::string, CloudFileEntry> named;
        for (const auto& entry : files) {
            named[entry.name] = entry;
        }
        return named;
    }

    CRequestContext context;
};

TEST_F(CloudApiTest, ListingsOfTheRootAndOfAFolderReadEveryEntry) {
    const CreatePathResult made = CloudApi::CreatePath(context, "my docs/inner", 0, 0);
    ASSERT_TRUE(made.ok) << made.reply.text;
    EXPECT_EQ(Last("createPath").line, "POST /qcd/filebackup/createPathAction.json? HTTP/1.1");
    EXPECT_EQ(Last("createPath").body, Session() + "&path=my%20docs%2Finner&pid=0");
    EXPECT_EQ(made.folder.name, "inner");
    EXPECT_TRUE(made.folder.IsFolder());
    EXPECT_EQ(made.file["id"].asInt64(), made.folder.id) << "the record as the server sent it";

    const SubFilesResult root = CloudApi::GetSubFiles(context, 0, 0);
    ASSERT_TRUE(root.ok) << root.reply.text;
    EXPECT_EQ(Last("getSubFiles").line,
              "GET /qcd/filebackup/getSubFilesAction.json?" + Session() + " HTTP/1.1")
        << "the root is asked for without a pid";
    ASSERT_TRUE(root.root.has_value());
    EXPECT_EQ(root.root->id, 1);
    ASSERT_EQ(root.files.size(), 1u);
    const CloudFileEntry docs = root.files[0];
    EXPECT_EQ(docs.name, "my docs");
    EXPECT_EQ(made.folder.pid, docs.id);

    const std::string data = TestBytes(1000, 3);
    ASSERT_TRUE(Upload(context, "a.txt", data, docs.id).Succeeded());
    CloudApi::UploadInitRequest half;
    half.pid = docs.id;
    half.name = "half.bin";
    half.size = 2 * kChunk;
    ASSERT_TRUE(CloudApi::UploadInit(context, half).ok);

    const SubFilesResult listing = CloudApi::GetSubFiles(context, docs.id, 0);
    ASSERT_TRUE(listing.ok) << listing.reply.text;
    EXPECT_EQ(Last("getSubFiles").line, "GET /qcd/filebackup/getSubFilesAction.json?" +
                                            Session() + "&pid=" + std::to_string(docs.id) +
                                            " HTTP/1.1");
    EXPECT_FALSE(listing.root.has_value()) << "the root comes only with the root's listing";
    auto named = ByName(listing.files);
    ASSERT_EQ(named.size(), 3u);
    EXPECT_TRUE(named["inner"].IsFolder());
    EXPECT_EQ(named["inner"].id, made.folder.id);
    EXPECT_FALSE(named["a.txt"].IsFolder());
    EXPECT_TRUE(named["a.txt"].IsComplete());
    EXPECT_EQ(named["a.txt"].size, 1000);
    EXPECT_EQ(named["a.txt"].hash, ContentHash(data));
    EXPECT_EQ(named["a.txt"].pid, docs.id);
    EXPECT_FALSE(named["half.bin"].IsComplete()) << "an upload under way is listed as such";

    const SubFilesResult shared = CloudApi::GetSubFiles(context, 0, 1);
    ASSERT_TRUE(shared.ok) << shared.reply.text;
    EXPECT_EQ(Last("getSubFiles").line,
              "GET /qcd/filebackup/getSubFilesAction.json?" + Session() + "&share=1 HTTP/1.1");
    EXPECT_EQ(shared.root->id, 2) << "the shared root";
    EXPECT_TRUE(shared.files.empty());

    const SubFilesResult missing = CloudApi::GetSubFiles(context, 424242, 0);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.reply.Status(), 102003);
    EXPECT_TRUE(missing.files.empty());
}

TEST_F(CloudApiTest, GetFileReadsTheRecordAndDeleteRemovesIt) {
    const std::string data = TestBytes(kChunk + 7, 5);
    const int64_t fid = Upload(context, "f.bin", data).File()["id"].asInt64();

    const UploadFileResult info = CloudApi::GetFile(context, fid, 0);
    EXPECT_EQ(Last("getFile").line, "GET /qcd/filebackup/getFileAction.json?" + Session() +
                                        "&fid=" + std::to_string(fid) + " HTTP/1.1");
    ASSERT_TRUE(info.ok) << info.reply.text;
    EXPECT_EQ(info.file.id, fid);
    EXPECT_EQ(info.file.pid, 1);
    EXPECT_TRUE(info.file.IsComplete());
    EXPECT_EQ(info.file.type, 1);
    EXPECT_EQ(info.file.size, static_cast<int64_t>(data.size()));
    EXPECT_EQ(info.file.breakPoint, static_cast<int64_t>(data.size()));
    EXPECT_EQ(info.file.hash, ContentHash(data));
    EXPECT_EQ(info.file.file["name"].asString(), "f.bin");

    const ActionResult deleted = CloudApi::DeleteFile(context, fid);
    ASSERT_TRUE(deleted.ok) << deleted.reply.text;
    EXPECT_EQ(Last("deleteFile").line, "POST /qcd/filebackup/deleteFileAction.json? HTTP/1.1");
    EXPECT_EQ(Last("deleteFile").body, Session() + "&fid=" + std::to_string(fid));

    const UploadFileResult gone = CloudApi::GetFile(context, fid, 0);
    EXPECT_TRUE(gone.readable);
    EXPECT_FALSE(gone.ok);
    EXPECT_EQ(gone.reply.Status(), 102003);
    EXPECT_FALSE(gone.file.present);
    EXPECT_FALSE(gone.file.id.has_value());
    EXPECT_FALSE(CloudApi::DeleteFile(context, fid).ok);
    EXPECT_EQ(CloudApi::DeleteFile(context, 1).reply.Status(), 102001) << "the root stays";
}

TEST_F(CloudApiTest, ALockedFileRefusesOtherKeysUntilItsKeyUnlocksIt) {
    const int64_t fid = Upload(context, "edit.doc", "v1").File()["id"].asInt64();
    const std::string fidText = std::to_string(fid);

    ASSERT_TRUE(CloudApi::LockFile(context, fid, "key A").ok);
    EXPECT_EQ(Last("lockFile").line, "POST /qcd/fileshare/lockFileByAppAction.json? HTTP/1.1");
    EXPECT_EQ(Last("lockFile").body,
              Session() + "&fid=" + fidText + "&lockType=1&appName=quorvaClient&lockKey=key%20A");
    EXPECT_TRUE(CloudApi::LockFile(context, fid, "key A").ok) << "renewal";

    const ActionResult other = CloudApi::LockFile(context, fid, "B");
    EXPECT_FALSE(other.ok);
    EXPECT_EQ(other.reply.Status(), 102007);
    EXPECT_FALSE(CloudApi::UnlockFile(context, fid, "B").ok);
    EXPECT_EQ(CloudApi::DeleteFile(context, fid).reply.Status(), 102007);

    ASSERT_TRUE(CloudApi::UnlockFile(context, fid, "key A").ok);
    EXPECT_EQ(Last("unlockFile").line,
              "POST /qcd/fileshare/unlockFileByAppAction.json? HTTP/1.1");
    EXPECT_EQ(Last("unlockFile").body,
              Session() + "&fid=" + fidText + "&lockType=1&appName=quorvaClient&lockKey=key%20A");
    EXPECT_TRUE(CloudApi::LockFile(context, fid, "B").ok);
}

TEST_F(CloudApiTest, UploadInitAndChunkSendTheirParametersInOrder) {
    const std::string data = "0123456789";
    CloudApi::UploadInitRequest init;
    init.pid = 0;
    init.name = "my doc.txt";
    init.lockKey = "my doc.txt";
    init.size = 10;
    init.hash = ContentHash(data);
    init.share = 1;
    const UploadFileResult made = CloudApi::UploadInit(context, init);
    ASSERT_TRUE(made.ok) << made.reply.text;
    EXPECT_EQ(Last("uploadInit").body,
              Session() + "&pid=0&name=my%20doc.txt&lockType=1&appName=quorvaClient"
                          "&lockKey=my%20doc.txt&size=10&hash=" + init.hash + "&share=1");
    ASSERT_TRUE(made.file.id.has_value());
    EXPECT_EQ(made.file.pid, 2) << "into the shared root";
    EXPECT_EQ(made.file.breakPoint, 0);
    EXPECT_FALSE(made.file.IsComplete());

    // Again with the fid, which goes first, and without the hash, which is then left out.
    init.fid = *made.file.id;
    init.hash.clear();
    EXPECT_EQ(CloudApi::UploadInit(context, init).file.id, made.file.id);
    EXPECT_EQ(Last("uploadInit").body,
              Session() + "&fid=" + std::to_string(init.fid) +
                  "&pid=0&name=my%20doc.txt&lockType=1&appName=quorvaClient"
                  "&lockKey=my%20doc.txt&size=10&share=1");

    const UploadFileResult chunk = CloudApi::UploadChunk(
        context, {init.fid, 0, ContentHash(data), 10, 1}, "my doc.txt", data.data(), data.size());
    ASSERT_TRUE(chunk.ok) << chunk.reply.text;
    EXPECT_EQ(Last("upload").line, "POST /qcd/filebackup/breakPointUploadAction.json?" +
                                       Session() + "&fid=" + std::to_string(init.fid) +
                                       "&breakPoint=0&hash=" + ContentHash(data) +
                                       "&size=10&share=1 HTTP/1.1");
    EXPECT_TRUE(chunk.file.IsComplete());
    EXPECT_EQ(chunk.file.size, 10);
}

TEST_F(CloudApiTest, TheDownloadUrlOfAFidFetchesItFromABreakPointAndAnswersTheProbe) {
    const std::string data = TestBytes(5000, 8);
    const int64_t fid = Upload(context, "d.bin", data).File()["id"].asInt64();
    const std::string url = CloudApi::DownloadUrl(fid);
    EXPECT_EQ(url, server.DownloadBaseUrl() + "/qcd/fileshare/downloadFileAction.json?fid=" +
                       std::to_string(fid));

    std::string body;
    CloudApi::Hooks hooks;
    hooks.body = [&](const char* bytes, size_t size) {
        body.append(bytes, size);
        return true;
    };
    const ServerReply fetched = CloudApi::Download(context, url, 1234, hooks);
    EXPECT_EQ(fetched.httpCode, 200);
    EXPECT_EQ(body, data.substr(1234));
    EXPECT_EQ(Last("download").line, "GET /qcd/fileshare/downloadFileAction.json?fid=" +
                                         std::to_string(fid) + "&breakPoint=1234 HTTP/1.1");

    std::string headers;
    CloudApi::Hooks probeHooks;
    probeHooks.header = [&](std::string_view line) { headers.append(line); };
    const ServerReply probe = CloudApi::ProbeDownload(context, url, probeHooks);
    EXPECT_EQ(probe.httpCode, 206);
    EXPECT_NE(headers.find("Content-Range: bytes 0-0/5000\r\n"), std::string::npos) << headers;
}

}  // namespace
}  // namespace zorp::test
