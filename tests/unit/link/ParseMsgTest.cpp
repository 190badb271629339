#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upload/FileBackupMgr.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "download/FileDownloadMgr.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkProtocol.h"
#include "localedit/LocalEditMgr.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "support/RecordingWindow.h"

using LinkProtocol::In;
using LinkProtocol::Number;
using zorp::test::RecordingWindow;

namespace {

// parseMsg on its own, without a socket: what each message stores and which window message
// it posts to the dispatcher.
class ParseMsgTest : public testing::Test {
protected:
    void SetUp() override {
        FileBackupMgr::GetInstance().reset();
        FileDownloadMgr::GetInstance().clearAll();
        LocalEditMgr::GetInstance().takeEditRequests();
        LocalEditMgr::GetInstance().takeFidNameList();
        m_mgr.SetNotifyWindow(m_window.Attach());
    }

    // The window messages posted by the messages parsed so far.
    std::vector<uint32_t> Posted() {
        m_loop.RunPending();  // parseMsg posts before it returns
        return std::exchange(m_window.ids, {});
    }

    platform::PlainMessageLoop m_loop;
    RecordingWindow m_window;
    ClientInterfaceMgr m_mgr;
};

using Paths = std::vector<std::filesystem::path>;

}  // namespace

TEST_F(ParseMsgTest, UploadRequestWithoutPathsStoresAndPostsNothing) {
    EXPECT_EQ(m_mgr.parseMsg(R"({"type":8,"files":[{"pid":5,"share":0,"paths":[]}]})"),
              Number(In::kUpload));
    EXPECT_EQ(m_mgr.parseMsg(R"({"type":8,"files":[]})"), Number(In::kUpload));
    EXPECT_EQ(m_mgr.parseMsg(R"({"type":8})"), Number(In::kUpload));
    EXPECT_FALSE(FileBackupMgr::GetInstance().hasPendingRequests());
    EXPECT_TRUE(Posted().empty());
}

TEST_F(ParseMsgTest, UploadRequestsForOneFolderAppendToOneList) {
    m_mgr.parseMsg(R"({"type":8,"files":[{"pid":5,"share":1,"paths":["/a","/b"]},{"pid":6,"share":0,"paths":["/c"]}]})");
    m_mgr.parseMsg(R"({"type":8,"files":[{"pid":5,"share":1,"paths":["/d"]},{"pid":5,"share":0,"paths":["/e"]}]})");
    auto requests = FileBackupMgr::GetInstance().getPendingRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ((requests[{5, 1}]), (Paths{"/a", "/b", "/d"}));
    EXPECT_EQ((requests[{6, 0}]), (Paths{"/c"}));
    EXPECT_EQ((requests[{5, 0}]), (Paths{"/e"})) << "the share flag is part of the key";
    EXPECT_EQ(Posted(), (std::vector<uint32_t>{WM_C2L_UPLD_REQ, WM_C2L_UPLD_REQ}))
        << "one 0x854 per message, not per element";
}

TEST_F(ParseMsgTest, PlainDownloadsAreHandedToTheDownloadManager) {
    m_mgr.parseMsg(R"({"type":7,"files":[{"size":10,"url":"http://d/1","path":"/tmp/x/a.bin"},
                                          {"size":20,"url":"http://d/2","path":"/tmp/x/b.bin"},
                                          {"size":30,"url":"http://d/3","path":"relative/c.bin"}]})");
    EXPECT_EQ(Posted(), std::vector<uint32_t>{WM_C2L_DNLD_REQ});
    EXPECT_EQ(FileDownloadMgr::GetInstance().getInFlight(), 2);
    auto downloads = FileDownloadMgr::GetInstance().takeDownloads();
    ASSERT_EQ(downloads.size(), 2u) << "a relative target is refused";
    EXPECT_EQ(downloads["/tmp/x/a.bin"].size, 10);
    EXPECT_EQ(downloads["/tmp/x/b.bin"].url, "http://d/2");

    m_mgr.parseMsg(R"({"type":7,"files":[]})");
    EXPECT_TRUE(Posted().empty()) << "nothing queued, nothing posted";
}

TEST_F(ParseMsgTest, BatchDownloadSeparatesFilesFromFolders) {
    COptions::GetInstance().GenerateUrls();
    const std::string prefix = COptions::GetInstance().GetUrls().download;
    m_mgr.parseMsg(R"({"type":11,"files":[
        {"path":"/home/u/Down","files":[
            {"fid":11,"name":"a.txt","type":1,"share":0,"size":100},
            {"fid":12,"name":"Photos","type":0,"share":1,"size":999},
            {"fid":13,"name":"../../.bashrc","type":1,"size":5},
            {"fid":14,"name":"..","type":2}]},
        {"path":"/home/u/Other","files":[{"fid":15,"name":"b.txt","type":1,"size":7}]}]})");
    EXPECT_EQ(Posted(), (std::vector<uint32_t>{WM_C2L_DNLD_REQ, WM_BATCH_DNLD_REQ}));

    auto downloads = FileDownloadMgr::GetInstance().takeDownloads();
    ASSERT_EQ(downloads.size(), 2u) << "names that leave the target folder are refused";
    const auto& a = downloads["/home/u/Down/a.txt"];
    EXPECT_EQ(a.url, prefix + "fid=11");
    EXPECT_EQ(a.size, 100);
    EXPECT_EQ(a.fid, 11);
    EXPECT_EQ(downloads["/home/u/Other/b.txt"].url, prefix + "fid=15");

    auto folders = FileDownloadMgr::GetInstance().takeBatchFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(folders["/home/u/Down"],
              (std::vector<FileDownloadMgr::FolderItem>{{12, "Photos", 1}}));

    m_mgr.parseMsg(R"({"type":11,"files":[{"path":"/x","files":[{"fid":1,"name":"F","type":0}]}]})");
    EXPECT_EQ(Posted(), std::vector<uint32_t>{WM_BATCH_DNLD_REQ}) << "folders only: 0x86A alone";
}

TEST_F(ParseMsgTest, UploadCancellationsCollectFidsAndTheLastRemoveFlag) {
    m_mgr.parseMsg(R"({"type":9,"files":[{"fids":["101","102","x"],"remove":0},{"fids":["-3",104],"remove":1}]})");
    EXPECT_EQ(Posted(), std::vector<uint32_t>{WM_UPLD_CANCEL});
    int remove = -1;
    EXPECT_EQ(FileBackupMgr::GetInstance().takeCancelFids(&remove),
              (std::vector<int64_t>{101, 102, -3, 104}));
    EXPECT_EQ(remove, 1);

    m_mgr.parseMsg(R"({"type":9,"files":[]})");
    EXPECT_TRUE(Posted().empty());
}

TEST_F(ParseMsgTest, LocalEditRequestsKeepTheTokenAsCompactJson) {
    m_mgr.parseMsg(R"({"type":10,"files":[{"token":{"k": [1, "two"]},"share":1,"size":77,"pid":3,
                                             "fid":4,"name":"doc.txt","hash":"abc"}]})");
    EXPECT_EQ(Posted(), std::vector<uint32_t>{WM_LOCALEDIT_REQ});
    auto requests = LocalEditMgr::GetInstance().takeEditRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], (LocalEditMgr::EditRequest{"{\"k\":[1,\"two\"]}\n", 1, 77, 3, 4, "doc.txt", "abc"}));

    m_mgr.parseMsg(R"({"type":13,"files":[{"name":"doc.txt","fid":4}]})");
    m_mgr.parseMsg(R"({"type":13,"files":[]})");
    EXPECT_EQ(Posted(), std::vector<uint32_t>{WM_LOCALEDIT_NAMES});
    EXPECT_EQ(LocalEditMgr::GetInstance().takeFidNameList(),
              (std::vector<LocalEditMgr::FidName>{{"doc.txt", 4}}));
}

// The page sends the whole list of edit downloads to cancel each time: a list not applied yet
// is replaced, so a download the page no longer names is not cancelled.
TEST_F(ParseMsgTest, AnEditNamesListReplacesTheOneNotAppliedYet) {
    m_mgr.parseMsg(R"({"type":13,"files":[{"name":"a.txt","fid":1},{"name":"b.txt","fid":2}]})");
    m_mgr.parseMsg(R"({"type":13,"files":[{"name":"c.txt","fid":3}]})");
    EXPECT_EQ(LocalEditMgr::GetInstance().takeFidNameList(),
              (std::vector<LocalEditMgr::FidName>{{"c.txt", 3}}));
}

TEST_F(ParseMsgTest, ProxyIsStoredAndReleasesTheStartupWaitEvenWhenEmpty) {
    EXPECT_EQ(m_mgr.WaitForPage(0), ClientInterfaceMgr::StartupResult::kTimeout);
    EXPECT_EQ(m_mgr.parseMsg(R"({"type":12,"values":""})"), Number(In::kProxy));
    EXPECT_EQ(m_mgr.WaitForPage(0), ClientInterfaceMgr::StartupResult::kPageReady);
    EXPECT_EQ(m_mgr.WaitForPage(0), ClientInterfaceMgr::StartupResult::kTimeout)
        << "the ready event resets itself";

    m_mgr.parseMsg(R"({"type":12,"values":"socks5://127.0.0.1:1080"})");
    EXPECT_EQ(COptions::GetInstance().GetProxy(), "socks5h://127.0.0.1:1080");
    m_mgr.parseMsg(R"({"type":12,"values":"http://127.0.0.1:3128"})");
    EXPECT_EQ(COptions::GetInstance().GetProxy(), "http://127.0.0.1:3128");
    EXPECT_TRUE(Posted().empty());
}

TEST_F(ParseMsgTest, CookiesReplaceTheOldOnesAndSetTheAccount) {
    m_mgr.parseMsg(R"({"type":2,"values":[{"domain":"d","name":"old","value":"1","path":"/"}]})");
    m_mgr.parseMsg(R"({"type":6,"values":[{"domain":"d","name":"cookieUserAccount","value":"ann","path":"/"},
                                            {"domain":"d","name":"cookieUid","value":"42","path":"/"}]})");
    EXPECT_EQ(Posted(), std::vector<uint32_t>{WM_GO_ONLINE}) << "type 2 posts nothing, 6 goes online";
    auto& options = COptions::GetInstance();
    EXPECT_EQ(options.GetCookies().size(), 2u);
    EXPECT_EQ(options.GetUserAccount(), "ann");
    EXPECT_EQ(options.GetUid(), 42);
    EXPECT_EQ(options.GetCookieString(), "cookieUserAccount=ann;cookieUid=42;");
}

TEST_F(ParseMsgTest, ClipboardListMarksFoldersAndAlwaysPosts) {
    FileDownloadMgr::GetInstance().setClipboardList({{1, "stale", 0, 1}});
    m_mgr.parseMsg(R"({"type":15,"files":[{"files":[{"fid":7,"name":"a.txt","share":0,"type":1,"size":12},
                                                     {"fid":8,"name":"Dir","share":1,"type":0,"size":99}]}]})");
    EXPECT_EQ(FileDownloadMgr::GetInstance().takeClipboardList(),
              (std::vector<FileDownloadMgr::ClipboardItem>{{7, "a.txt", 0, 12}, {8, "Dir", 1, -1}}));
    FileDownloadMgr::GetInstance().setClipboardList({{1, "stale", 0, 1}});
    m_mgr.parseMsg(R"({"type":15,"files":[]})");
    EXPECT_TRUE(FileDownloadMgr::GetInstance().takeClipboardList().empty()) << "an empty copy clears";
    EXPECT_EQ(Posted(), (std::vector<uint32_t>{WM_CLIPBOARD_COPY, WM_CLIPBOARD_COPY}));
}

TEST_F(ParseMsgTest, SignalsWithoutDataPostTheirWindowMessages) {
    COptions::GetInstance().m_exitRequest = 17;
    for (const char* text : {R"({"type":3})", R"({"type":4})", R"({"type":5})", R"({"type":14})",
                             R"({"type":16})", R"({"type":0})", R"({"type":99})", R"({"type":1})"}) {
        m_mgr.parseMsg(text);
    }
    EXPECT_EQ(Posted(), (std::vector<uint32_t>{WM_SHOW_HIDE, WM_SHOW_TX_MANAGER, WM_GO_OFFLINE,
                                               WM_OPEN_EDIT_DIR, WM_SHOW_BACKUP_CONFIG,
                                               WM_CLIENT_MSG_COME}));
    EXPECT_EQ(COptions::GetInstance().m_exitRequest, 1) << "type 1 is the page's quit request";
    COptions::GetInstance().m_exitRequest = 17;
}

TEST_F(ParseMsgTest, MalformedMessagesAreRejectedAndLogged) {
    logging::ScopedLogCapture log;
    EXPECT_EQ(m_mgr.parseMsg(R"({"type":8,"files":[)"), -1);
    EXPECT_TRUE(log.Contains("ClientInterfaceMgr::parseMsg failed"));
    EXPECT_EQ(m_mgr.parseMsg(R"({"type":3} trailing)"), -1);
    EXPECT_EQ(m_mgr.parseMsg(R"({"files":[]})"), -1) << "no type";
    EXPECT_EQ(m_mgr.parseMsg(R"({"type":"8"})"), -1) << "a type that is not an integer";
    EXPECT_EQ(m_mgr.parseMsg(R"({"type":1e30})"), -1);
    EXPECT_EQ(m_mgr.parseMsg(R"([{"type":3}])"), -1) << "not an object";
    EXPECT_EQ(m_mgr.parseMsg(std::string(100000, '[') + std::string(100000, ']')), -1)
        << "deep nesting is refused, not a stack overflow";
    EXPECT_TRUE(Posted().empty());
}

TEST_F(ParseMsgTest, MembersOfTheWrongTypeReadAsDefaults) {
    // None of these may throw or crash; what cannot be read is 0 or empty.
    const char* hostile[] = {
        R"({"type":8,"files":{"pid":1}})",
        R"({"type":8,"files":[1,"x",null,[],{"pid":"5","share":[],"paths":"/a"}]})",
        R"({"type":8,"files":[{"pid":{},"share":true,"paths":[1,null,"/ok","",{}]}]})",
        R"({"type":7,"files":[{"size":"big","url":5,"path":"/t/a"}]})",
        R"({"type":9,"files":[{"fids":"1","remove":"yes"}, 3]})",
        R"({"type":10,"files":[{"token":null,"fid":"4","name":7}]})",
        R"({"type":11,"files":[{"path":3,"files":[{"fid":1,"name":"a","type":1}]}, "s"]})",
        R"({"type":12,"values":[1]})",
        R"({"type":13,"files":[7]})",
        R"({"type":15,"files":[{"files":{"fid":1}}, 2]})",
        R"({"type":2,"values":"not a list"})",
        R"({"type":6,"values":[{"name":1,"value":{}}]})",
        "{\"type\":8,\"files\":[{\"pid\":1,\"paths\":[\"/a\\u0000b\"]}]}",
    };
    for (const char* text : hostile) {
        EXPECT_GE(m_mgr.parseMsg(text), 0) << text;
    }
    auto requests = FileBackupMgr::GetInstance().getPendingRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests.begin()->first, (FileBackupMgr::RequestKey{0, 0}));
    EXPECT_EQ(requests.begin()->second, (Paths{"/ok"})) << "only the readable, usable path";
    auto downloads = FileDownloadMgr::GetInstance().takeDownloads();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads.begin()->second.size, 0);
    EXPECT_EQ(downloads.begin()->second.url, "");
}
