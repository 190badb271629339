#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/wait.h>

#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "upload/FileBackupMgr.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkProtocol.h"
#include "platform/LoopbackListener.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "support/WaitFor.h"
#include "support/RecordingWindow.h"

using LinkProtocol::Number;
using LinkProtocol::Out;
using zorp::test::RecordingWindow;

namespace {

struct RunResult {
    int exitCode = -1;
    std::string out;
};

// Runs zorp-page with the arguments (through the shell, which quotes them as given).
RunResult RunZorpPage(const std::string& arguments) {
    std::string command = std::string(ZORP_BIN_DIR) + "/zorp-page " + arguments + " 2>/dev/null";
    RunResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        return result;
    }
    char buffer[4096];
    size_t n;
    while ((n = ::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        result.out.append(buffer, n);
    }
    int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class ZorpPageTest : public testing::Test {
protected:
    void SetUp() override {
        FileBackupMgr::GetInstance().reset();
        COptions::GetInstance().m_exitRequest = 17;
        m_mgr.SetNotifyWindow(m_window.Attach());
        m_mgr.SetListenPort(0);
        ASSERT_EQ(m_mgr.start(), 0);
        ASSERT_TRUE(m_mgr.WaitForListening(5000));
        m_port = " --port " + std::to_string(m_mgr.GetListenPort()) + " ";
    }
    void TearDown() override { EXPECT_TRUE(m_mgr.Shutdown(5000)); }

    platform::PlainMessageLoop m_loop;
    RecordingWindow m_window;
    ClientInterfaceMgr m_mgr;
    std::string m_port;
};

}  // namespace

TEST_F(ZorpPageTest, SessionHandsOverCookiesProxyAndTheCommandThenWaitsForAReport) {
    ::setenv("ZORP_PAGE_COOKIES", "cookieUserAccount=ann; cookieUid=31", 1);
    auto page = std::async(std::launch::async, [&] {
        return RunZorpPage(m_port + "--proxy socks5://127.0.0.1:9 --wait-for " +
                           std::to_string(Number(Out::kUploadProgress)) +
                           " --timeout 20 upload --pid 5 /data/a '/data/b c'");
    });
    ASSERT_TRUE(m_loop.RunUntil([&] { return m_window.Count(WM_C2L_UPLD_REQ) == 1; }, 20000));
    ::unsetenv("ZORP_PAGE_COOKIES");
    EXPECT_EQ(m_mgr.WaitForPage(0), ClientInterfaceMgr::StartupResult::kPageReady);
    EXPECT_EQ(COptions::GetInstance().GetUserAccount(), "ann");
    EXPECT_EQ(COptions::GetInstance().GetUid(), 31);
    EXPECT_EQ(COptions::GetInstance().GetProxy(), "socks5h://127.0.0.1:9");
    EXPECT_EQ((FileBackupMgr::GetInstance().getPendingRequests()[{5, 0}]),
              (std::vector<std::filesystem::path>{"/data/a", "/data/b c"}));

    m_mgr.pushUpldProgress(8, 5, 100, 40);
    RunResult result = page.get();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, R"({"files":[{"fid":8,"pid":5,"position":40,"size":100}],"type":15})" "\n");
    // The page leaving is the process's signal to quit.
    EXPECT_TRUE(m_loop.RunUntil([&] { return m_window.Count(WM_CLIENT_MSG_COME) == 1; }, 5000));
}

TEST_F(ZorpPageTest, WatchPrintsEveryMessageAsOneLine) {
    auto page = std::async(std::launch::async, [&] {
        return RunZorpPage(
            m_port + "--watch --wait-for " + std::to_string(Number(Out::kUploadsFinished)) +
            " --timeout 20 batch-download --path /d --file 7:a:b.txt:10 --folder 8:Pics");
    });
    ASSERT_TRUE(m_loop.RunUntil([&] { return m_window.Count(WM_BATCH_DNLD_REQ) == 1; }, 20000));
    Json::Value info;
    info["a"] = 1;
    m_mgr.pushUpldCreated(1, 2, info);
    m_mgr.pushFinishedNames({"x"}, true);
    RunResult result = page.get();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.out.find(R"({"type":0})" "\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(R"({"files":[{"fid":1,"info":{"a":1},"pid":2}],"type":14})" "\n"),
              std::string::npos) << result.out;
    EXPECT_NE(result.out.find(R"({"files":["x"],"type":3})" "\n"), std::string::npos) << result.out;
}

TEST_F(ZorpPageTest, WaitThatTimesOutExitsNonZero) {
    auto page = std::async(std::launch::async, [&] {
        // 99: a type zorp never sends.
        return RunZorpPage(m_port + "--wait-for 99 --timeout 0.3 hello");
    });
    while (page.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        m_loop.RunFor(10);
    }
    EXPECT_EQ(page.get().exitCode, 3);
}

TEST(ZorpPageNoServerTest, NobodyListeningExitsWithNoLink) {
    // Take a free port and let it go again: nothing listens there now.
    uint16_t port = platform::LoopbackListener::Listen(0, 1)->Port();
    RunResult result = RunZorpPage("--port " + std::to_string(port) + " --connect-timeout 0.2 hello");
    EXPECT_EQ(result.exitCode, 2);
}
