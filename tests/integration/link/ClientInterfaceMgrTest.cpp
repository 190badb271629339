#include <gtest/gtest.h>

#include <json/reader.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/FixedDelays.h"
#include "upload/FileBackupMgr.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkProtocol.h"
#include "platform/ChildProcess.h"
#include "platform/LoopbackListener.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "support/LinkTestPage.h"
#include "support/ProcessStateTestAccess.h"
#include "support/WaitFor.h"
#include "support/RecordingWindow.h"
#include "support/ScopedTimeScale.h"
#include "support/WaitFor.h"

using LinkProtocol::Out;
using zorp::test::LinkTestPage;
using zorp::test::ScopedTimeScale;

using zorp::test::RecordingWindow;

namespace {

// A real server on a free loopback port, its window messages going to a window on this
// thread's loop, and the page played over a real connection.
class ClientInterfaceMgrTest : public testing::Test {
protected:
    void SetUp() override {
        FileBackupMgr::GetInstance().reset();
        ProcessStateTestAccess::SetWorkState(WorkState::kWsStart);
        COptions::GetInstance().m_exitRequest = 17;
        m_mgr.SetNotifyWindow(m_window.Attach());
        m_mgr.SetListenPort(0);
        ASSERT_EQ(m_mgr.start(), 0);
        ASSERT_TRUE(m_mgr.WaitForListening(5000));
        m_port = m_mgr.GetListenPort();
        ASSERT_NE(m_port, 0);
    }
    void TearDown() override { EXPECT_TRUE(m_mgr.Shutdown(5000)); }

    // Connects and says hello; the process answers {"type":0}.
    void ConnectPage(LinkTestPage& page) {
        ASSERT_TRUE(page.Connect(m_port));
        ASSERT_TRUE(page.Send(R"({"type":0})"));
        EXPECT_EQ(page.NextMessage(), R"({"type":0})");
        EXPECT_TRUE(m_mgr.IsConnected()) << "connected as soon as the page has the answer";
    }

    bool RunUntil(const std::function<bool()>& done, uint32_t ms = 5000) {
        return m_loop.RunUntil(done, ms);
    }

    platform::PlainMessageLoop m_loop;
    RecordingWindow m_window;
    ClientInterfaceMgr m_mgr;
    uint16_t m_port = 0;
};

using Paths = std::vector<std::filesystem::path>;

}  // namespace

TEST_F(ClientInterfaceMgrTest, HandshakeAnswersHelloAndCookiesAndReleasesTheStartupWait) {
    LinkTestPage page;
    ConnectPage(page);
    page.Send(R"({"type":2,"values":[{"domain":"d","name":"cookieUid","value":"9","path":"/"}]})");
    EXPECT_EQ(page.NextMessage(), R"({"type":13})") << "cookies are answered while the work state is 10";
    EXPECT_EQ(COptions::GetInstance().GetUid(), 9);

    EXPECT_EQ(m_mgr.WaitForPage(0), ClientInterfaceMgr::StartupResult::kTimeout);
    page.Send(R"({"type":12,"values":""})");
    EXPECT_EQ(m_mgr.WaitForPage(5000), ClientInterfaceMgr::StartupResult::kPageReady);

    // Once work has started, cookies are taken without an answer.
    ProcessStateTestAccess::SetWorkState(WorkState::kWsIdle);
    page.Send(R"({"type":2,"values":[]})");
    m_mgr.sendSimpleMsg(Out::kAllEnded);  // a marker: the next thing the page sees
    EXPECT_EQ(page.NextMessage(), R"({"type":12})");
}

TEST_F(ClientInterfaceMgrTest, MessagesCutAnywhereInTheStreamAreEachHandledOnce) {
    LinkTestPage page;
    ConnectPage(page);
    // A receive that ends just after a "}" inside a string, then the rest and a second
    // message in the same receive.
    page.Send(R"({"type":8,"files":[{"pid":5,"share":0,"paths":["/data/a})");
    m_loop.RunFor(30);
    page.Send(R"(b"]}]}{"type":8,"files":[{"pid":5,"share":0,"paths":["/data/c"]}]})");
    ASSERT_TRUE(RunUntil([&] { return m_window.Count(WM_C2L_UPLD_REQ) == 2; }));
    auto requests = FileBackupMgr::GetInstance().getPendingRequests();
    EXPECT_EQ((requests[{5, 0}]), (Paths{"/data/a}b", "/data/c"}));

    // A message trickling in byte by byte.
    const std::string slow = R"({"type":3})";
    for (char c : slow) {
        page.Send(std::string(1, c));
        m_loop.RunFor(2);
    }
    ASSERT_TRUE(RunUntil([&] { return m_window.Count(WM_SHOW_HIDE) == 1; }));
}

TEST_F(ClientInterfaceMgrTest, QueuedNotificationsArriveByteForByte) {
    LinkTestPage page;
    ASSERT_TRUE(page.Connect(m_port));
    // Before the hello nothing is queued.
    m_mgr.pushUpldProgress(1, 2, 3, 4);
    m_mgr.sendSimpleMsg(Out::kUploadsStarted);
    page.Send(R"({"type":0})");
    EXPECT_EQ(page.NextMessage(), R"({"type":0})");
    ASSERT_TRUE(m_mgr.IsConnected());

    m_mgr.pushFinishedNames({}, true);
    EXPECT_EQ(page.NextMessage(), R"({"type":3,"files":[]})");
    m_mgr.pushTransferNames({"Quarterly report of 2024.xlsx", "a.txt"}, false);
    EXPECT_EQ(page.NextMessage(), R"({"type":2,"files":["Quarterly report of...","a.txt"]})");
    m_mgr.pushFailedNames({"1", "2", "3", "4", "5", "6", "7"}, true);
    EXPECT_EQ(page.NextMessage(), R"({"type":5,"files":["1","2","3","4","5"]})");
    Json::Value info;
    info["id"] = 77;
    m_mgr.pushUpldCreated(77, 5, info);
    EXPECT_EQ(page.NextMessage(), "{\"type\":14,\"files\":[{\"fid\":77,\"pid\":5,\"info\":{\"id\":77}\n}]}");
    m_mgr.pushEditDnldResult(3, "my \"doc\".txt", "\"tok\"\n", 2);
    EXPECT_EQ(page.NextMessage(),
              "{\"type\":20,\"files\":[{\"fid\":3,\"name\":\"my \\\"doc\\\".txt\",\"token\":\"tok\"\n}]}");
    m_mgr.pushEditDnldResult(3, "x", "1\n", 3);
    EXPECT_EQ(page.NextMessage(), "{\"type\":21,\"files\":[{\"fid\":3,\"name\":\"x\",\"token\":1\n}]}");

    // Simple messages in order; a type outside 7..12 is not sent.
    m_mgr.sendSimpleMsg(Out::kUploadsStarted);
    m_mgr.sendSimpleMsg(Out::kCookiesReply);
    m_mgr.sendSimpleMsg(Out::kAllEnded);
    EXPECT_EQ(page.NextMessage(), R"({"type":7})");
    EXPECT_EQ(page.NextMessage(), R"({"type":12})");
}

TEST_F(ClientInterfaceMgrTest, NotificationsOfDifferentGroupsQueuedTogetherAllArrive) {
    LinkTestPage page;
    ConnectPage(page);
    // Queued in one burst, before the server thread can wake: every group and both result
    // kinds must reach the page under their own type.
    m_mgr.pushUpldCreated(1, 9, Json::Value(Json::objectValue));
    m_mgr.pushUpldProgress(1, 9, 100, 50);
    m_mgr.pushUpldProgress(1, 9, 100, 100);
    m_mgr.pushFailedNames({"up.txt"}, true);
    m_mgr.pushFailedNames({"down.txt"}, false);
    m_mgr.pushEditDnldResult(5, "ok.txt", "null\n", 2);
    m_mgr.pushEditDnldResult(6, "bad.txt", "null\n", 3);
    // The thread may wake between two pushes of one group; collect until all is there.
    std::map<Out, std::string> byType;
    auto complete = [&] {
        return byType.size() == 6 &&
               byType[Out::kUploadProgress].find("\"position\":100") != std::string::npos;
    };
    while (!complete()) {
        auto message = page.NextMessage();
        ASSERT_TRUE(message.has_value()) << "only " << byType.size() << " types arrived";
        auto type = LinkTestPage::TypeOf(*message);
        if (type && *type != Out::kKeepAlive) {
            byType[*type] += *message;
        }
    }
    EXPECT_EQ(byType[Out::kUploadCreated],
              "{\"type\":14,\"files\":[{\"fid\":1,\"pid\":9,\"info\":{}\n}]}");
    EXPECT_NE(byType[Out::kUploadProgress].find("\"position\":50"), std::string::npos);
    EXPECT_EQ(byType[Out::kEditDnldDone],
              "{\"type\":20,\"files\":[{\"fid\":5,\"name\":\"ok.txt\",\"token\":null\n}]}");
    EXPECT_EQ(byType[Out::kEditDnldFailed],
              "{\"type\":21,\"files\":[{\"fid\":6,\"name\":\"bad.txt\",\"token\":null\n}]}");
    EXPECT_EQ(byType[Out::kUploadsFailed], R"({"type":5,"files":["up.txt"]})");
    EXPECT_EQ(byType[Out::kDownloadsFailed], R"({"type":6,"files":["down.txt"]})");
}

// Each file's "created" reaches the page before its progress, "complete" or removal, also
// when another file's news of those groups was already waiting for the server thread.
TEST_F(ClientInterfaceMgrTest, AFilesCreatedArrivesBeforeItsOtherNewsWhateverWaitsBeforeIt) {
    LinkTestPage page;
    ConnectPage(page);
    constexpr int kFiles = 300;
    const Json::Value info(Json::objectValue);
    for (int fid = 1; fid <= kFiles; ++fid) {
        // The previous file's complete (or removal) is often still queued when this one's
        // created comes.
        m_mgr.pushUpldCreated(fid, 9, info);
        if (fid % 3 == 0) {
            m_mgr.pushUpldRemoved(fid, 9);
        } else {
            m_mgr.pushUpldProgress(fid, 9, 10, 10);
            m_mgr.pushUpldComplete(fid, 9, info);
        }
    }
    std::map<int64_t, std::vector<Out>> news;
    size_t entries = 0;
    const size_t expected = kFiles + (kFiles / 3) + 2 * (kFiles - kFiles / 3);
    while (entries < expected) {
        auto message = page.NextMessage();
        ASSERT_TRUE(message.has_value()) << entries << " of " << expected << " entries arrived";
        auto type = LinkTestPage::TypeOf(*message);
        if (!type || *type == Out::kKeepAlive) {
            continue;
        }
        Json::Value root;
        std::istringstream in(*message);
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &root, nullptr));
        for (const auto& entry : root["files"]) {
            news[entry["fid"].asInt64()].push_back(*type);
            ++entries;
        }
    }
    for (const auto& [fid, types] : news) {
        ASSERT_FALSE(types.empty());
        EXPECT_EQ(types.front(), Out::kUploadCreated) << "file " << fid;
        EXPECT_EQ(std::count(types.begin(), types.end(), Out::kUploadCreated), 1) << fid;
    }
    EXPECT_EQ(news.size(), static_cast<size_t>(kFiles));
}

TEST_F(ClientInterfaceMgrTest, MessageLongerThanTheBufferIsSentWhole) {
    LinkTestPage page;
    ConnectPage(page);
    const int entries = 2000;  // about 100 KB, several times the 16 KiB buffer
    for (int i = 0; i < entries; ++i) {
        m_mgr.pushUpldProgress(1000000 + i, 42, 123456789, i);
    }
    int received = 0;
    while (received < entries) {
        auto message = page.WaitFor(Out::kUploadProgress);
        ASSERT_TRUE(message.has_value());
        Json::Value value;
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        ASSERT_TRUE(reader->parse(message->data(), message->data() + message->size(), &value, &errors));
        for (const auto& entry : value["files"]) {
            EXPECT_EQ(entry["position"].asInt(), received++);
        }
    }
    EXPECT_EQ(received, entries);
}

TEST_F(ClientInterfaceMgrTest, PageClosingTheLinkAsksTheProcessToQuitOnce) {
    LinkTestPage page;
    ConnectPage(page);
    page.Close();
    ASSERT_TRUE(RunUntil([&] { return m_window.Count(WM_CLIENT_MSG_COME) == 1; }));
    EXPECT_EQ(COptions::GetInstance().m_exitRequest, 1);
    EXPECT_TRUE(m_mgr.WaitForExit(5000)) << "the server thread ends with the link";
    EXPECT_FALSE(m_mgr.IsConnected());
    m_loop.RunFor(20);
    EXPECT_EQ(m_window.Count(WM_CLIENT_MSG_COME), 1u);
}

TEST_F(ClientInterfaceMgrTest, PageLeavingBeforeItsProxySettingEndsTheStartupWait) {
    LinkTestPage page;
    ConnectPage(page);
    page.Close();
    EXPECT_EQ(m_mgr.WaitForPage(5000), ClientInterfaceMgr::StartupResult::kPageGone);
}

TEST_F(ClientInterfaceMgrTest, AbortedConnectionIsThePageGoneToo) {
    LinkTestPage page;
    ConnectPage(page);
    page.Send(R"({"type":8,"files":[{"pid":1,"paths":["/x"]}]})");
    page.Abort();
    ASSERT_TRUE(RunUntil([&] { return m_window.Count(WM_CLIENT_MSG_COME) == 1; }));
    EXPECT_EQ(COptions::GetInstance().m_exitRequest, 1);
    EXPECT_TRUE(m_mgr.WaitForExit(5000));
}

TEST_F(ClientInterfaceMgrTest, SecondClientIsNeverServed) {
    LinkTestPage first;
    ConnectPage(first);
    LinkTestPage second;
    if (second.Connect(m_port)) {  // the kernel may queue it in the backlog
        second.Send(R"({"type":0})");
        EXPECT_FALSE(second.NextMessage(300).has_value());
    }
    first.Send(R"({"type":4})");
    ASSERT_TRUE(RunUntil([&] { return m_window.Count(WM_SHOW_TX_MANAGER) == 1; }));
    second.Close();
    m_loop.RunFor(50);
    EXPECT_EQ(m_window.Count(WM_CLIENT_MSG_COME), 0u) << "only the page's own link counts";
}

TEST_F(ClientInterfaceMgrTest, KeepAliveAfterSilence) {
    ScopedTimeScale shortDelays(0.05);
    LinkTestPage page;
    ConnectPage(page);
    auto message = page.NextMessage(FixedDelays::Ms(FixedDelay::kKeepAlive) + 3000);
    EXPECT_EQ(message, R"({"type":23})");
}

TEST_F(ClientInterfaceMgrTest, BadInputNeitherStopsNorBloatsTheLink) {
    logging::ScopedLogCapture log;
    LinkTestPage page;
    ConnectPage(page);

    // Megabytes of noise without any object in it (a browser talking HTTP, say).
    std::mt19937 random(7);
    std::string noise(3 * 1024 * 1024, ' ');
    for (auto& c : noise) {
        c = static_cast<char>('a' + random() % 26);
    }
    ASSERT_TRUE(page.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n" + noise));
    // A 10 MB message: dropped as a whole, not parsed in pieces.
    std::string huge = R"({"type":8,"files":[{"pid":1,"paths":[")" + std::string(10 * 1024 * 1024, 'p') +
                       R"("]},{"type":1}]})";
    ASSERT_TRUE(page.Send(huge));
    // Deep nesting, a NUL byte, wrong types, broken JSON: each dropped alone.
    ASSERT_TRUE(page.Send("{\"type\":8,\"x\":" + std::string(5000, '[') + std::string(5000, ']') + "}"));
    ASSERT_TRUE(page.Send(std::string("{\"type\":8,\0\"files\":[]}", 22)));
    ASSERT_TRUE(page.Send(R"({"type":8,"files":[{"pid":"x","paths":{}}]}{"type":8 "broken"})"));
    // And the link still serves.
    ASSERT_TRUE(page.Send(R"({"type":8,"files":[{"pid":3,"share":0,"paths":["/after"]}]})"));
    ASSERT_TRUE(RunUntil([&] { return m_window.Count(WM_C2L_UPLD_REQ) == 1; }, 20000));
    EXPECT_EQ(FileBackupMgr::GetInstance().getPendingRequests(),
              (FileBackupMgr::RequestMap{{{3, 0}, {"/after"}}}));
    EXPECT_EQ(m_window.Count(WM_CLIENT_MSG_COME), 0u) << "the {\"type\":1} inside the big message was not obeyed";
    EXPECT_NE(COptions::GetInstance().m_exitRequest, 1);
    EXPECT_TRUE(log.Contains("dropped"));
    EXPECT_TRUE(log.Contains("not JSON skipped"));
    page.Send(R"({"type":0})");
    EXPECT_EQ(page.NextMessage(), R"({"type":0})");
}

TEST_F(ClientInterfaceMgrTest, SilentClientDoesNotHoldUpShutdown) {
    LinkTestPage page;
    ASSERT_TRUE(page.Connect(m_port));  // connects and never says anything
    m_loop.RunFor(20);
    EXPECT_TRUE(m_mgr.Shutdown(5000));
    EXPECT_TRUE(page.WaitForClose());
    EXPECT_EQ(m_window.Count(WM_CLIENT_MSG_COME), 0u) << "our own shutdown is not the page leaving";
}

TEST_F(ClientInterfaceMgrTest, ListensOnLoopbackAddressOnly) {
    // 127.0.0.2 is this machine too, but not the address bound: a server on all interfaces
    // would accept here.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    ::inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
    EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
}

TEST(ClientInterfaceMgrStartTest, PortTakenIsReportedInsteadOfWaitingForEver) {
    logging::ScopedLogCapture log;
    std::string error;
    auto squatter = platform::LoopbackListener::Listen(0, 1, &error);
    ASSERT_TRUE(squatter) << error;
    ClientInterfaceMgr mgr;
    mgr.SetListenPort(squatter->Port());
    ASSERT_EQ(mgr.start(), 0);
    EXPECT_EQ(mgr.WaitForPage(10000), ClientInterfaceMgr::StartupResult::kBindFailed);
    EXPECT_TRUE(mgr.IsBindFailed());
    EXPECT_NE(mgr.GetBindError().find(std::to_string(squatter->Port())), std::string::npos);
    EXPECT_TRUE(log.Contains("can't listen on 127.0.0.1"));
    EXPECT_TRUE(mgr.Shutdown(5000));
}

TEST(ClientInterfaceMgrStartTest, RequestsBeforeTheWindowExistsAreDeliveredWhenItDoes) {
    // Start-up creates the dispatcher window only after the page's proxy setting, and a page
    // sends its first request right behind it.
    FileBackupMgr::GetInstance().reset();
    platform::PlainMessageLoop loop;
    ClientInterfaceMgr mgr;
    mgr.SetListenPort(0);
    ASSERT_EQ(mgr.start(), 0);
    ASSERT_TRUE(mgr.WaitForListening(5000));
    LinkTestPage page;
    ASSERT_TRUE(page.Connect(mgr.GetListenPort()));
    page.Send(R"({"type":0}{"type":12,"values":""}{"type":8,"files":[{"pid":2,"paths":["/p"]}]}{"type":3})");
    ASSERT_EQ(mgr.WaitForPage(5000), ClientInterfaceMgr::StartupResult::kPageReady);
    ASSERT_TRUE(zorp::test::WaitFor([] { return FileBackupMgr::GetInstance().hasPendingRequests(); }));

    RecordingWindow window;
    mgr.SetNotifyWindow(window.Attach());
    page.Send(R"({"type":4})");
    ASSERT_TRUE(loop.RunUntil([&] { return window.ids.size() == 3; }, 5000));
    EXPECT_EQ(window.ids, (std::vector<uint32_t>{WM_C2L_UPLD_REQ, WM_SHOW_HIDE, WM_SHOW_TX_MANAGER}));
    EXPECT_TRUE(mgr.Shutdown(5000));
}

TEST(ClientInterfaceMgrStartTest, StartWhileRunningIsRefused) {
    ClientInterfaceMgr mgr;
    mgr.SetListenPort(0);
    EXPECT_EQ(mgr.start(), 0);
    EXPECT_EQ(mgr.start(), 1);
    EXPECT_TRUE(mgr.Shutdown(5000));
}

TEST(ClientInterfaceMgrStartTest, PortComesFromTheEnvironment) {
    ::setenv("ZORP_LINK_PORT", "34567", 1);
    EXPECT_EQ(ClientInterfaceMgr::ConfiguredPort(), 34567);
    ::setenv("ZORP_LINK_PORT", "not-a-port", 1);
    EXPECT_EQ(ClientInterfaceMgr::ConfiguredPort(), ClientInterfaceMgr::kDefaultPort);
    ::setenv("ZORP_LINK_PORT", "70000", 1);
    EXPECT_EQ(ClientInterfaceMgr::ConfiguredPort(), ClientInterfaceMgr::kDefaultPort);
    ::unsetenv("ZORP_LINK_PORT");
    EXPECT_EQ(ClientInterfaceMgr::ConfiguredPort(), 23175);
}

TEST(ClientInterfaceMgrStartTest, StartAndStopInALoop) {
    // Stops at every stage: before the thread listens, while it waits for the page, while a
    // page is connected. The same port is taken again each time.
    ClientInterfaceMgr mgr;
    mgr.SetListenPort(0);
    ASSERT_EQ(mgr.start(), 0);
    ASSERT_TRUE(mgr.WaitForListening(5000));
    const uint16_t port = mgr.GetListenPort();
    ASSERT_TRUE(mgr.Shutdown(5000));
    mgr.SetListenPort(port);
    for (int round = 0; round < 60; ++round) {
        ASSERT_EQ(mgr.start(), 0) << round;
        const int stage = round % 3;
        if (stage >= 1) {
            ASSERT_TRUE(mgr.WaitForListening(5000)) << round << ": " << mgr.GetBindError();
        }
        LinkTestPage page;
        if (stage == 2) {
            ASSERT_TRUE(page.Connect(port));
            page.Send(R"({"type":0})");
            ASSERT_EQ(page.NextMessage(), R"({"type":0})") << round;
        }
        ASSERT_TRUE(mgr.Shutdown(5000)) << round;
        EXPECT_FALSE(mgr.IsConnected());
    }
}

// Any local process that connected first used to hold the link for good, and its leaving made
// the process quit: a connection that says no hello in time, or leaves before it, is let go,
// and the page that comes next is served.
TEST_F(ClientInterfaceMgrTest, AConnectionWithoutHelloIsLetGoAndThePageAfterItIsServed) {
    ScopedTimeScale fast(0.01);  // the hello wait: 100 ms
    logging::ScopedLogCapture log;
    LinkTestPage squatter;
    ASSERT_TRUE(squatter.Connect(m_port));
    EXPECT_TRUE(squatter.WaitForClose(5000)) << "let go after the hello wait";
    EXPECT_TRUE(log.Contains("no hello within"));

    LinkTestPage leaver;
    ASSERT_TRUE(leaver.Connect(m_port));
    leaver.Close();
    m_loop.RunFor(100);
    EXPECT_EQ(m_window.Count(WM_CLIENT_MSG_COME), 0u) << "its leaving is not the page's";
    EXPECT_NE(COptions::GetInstance().m_exitRequest, 1);

    LinkTestPage page;
    ConnectPage(page);
    page.Send(R"({"type":8,"files":[{"pid":3,"share":0,"paths":["/served"]}]})");
    ASSERT_TRUE(RunUntil([&] { return m_window.Count(WM_C2L_UPLD_REQ) == 1; }));
}

// A process of another user may not drive this user's uploads.
TEST_F(ClientInterfaceMgrTest, AConnectionOfAnotherUserIsRefused) {
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to act as another user";
    }
    logging::ScopedLogCapture log;
    // zorp-page as the user "nobody": its hello is never answered.
    platform::ChildProcess other;
    ASSERT_TRUE(other.Start({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                             ZORP_BIN_DIR "/zorp-page", "--port", std::to_string(m_port),
                             "--connect-timeout", "2", "hello"}));
    std::optional<int> code;
    ASSERT_TRUE(RunUntil([&] { return (code = other.Wait(0)).has_value(); }, 15000));
    const int answered = *code == 0 ? 1 : 0;
    EXPECT_EQ(answered, 0) << "no answer to another user's hello";
    EXPECT_TRUE(log.Contains("refused"));
    LinkTestPage page;
    ConnectPage(page);
}
