#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "ZorpProcess.h"
#include "platform/LoopbackListener.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace {

namespace fs = std::filesystem;
using zorp::test::ReadFile;
using zorp::test::TempDir;
using zorp::test::WaitFor;
using zorp::test::WriteFile;
using zorp::test::ZorpProcess;

const char* kWaitLine = "ZORP wait for event from CIMG";
const char* kWorkLine = "ZORP now begin to work-";
const char* kLoopLine = "ZORP message loop running";

// Every copy of a test shares the test process's XDG folders (so they meet on one lock),
// and gets its own configuration folder for "log.properties".
class ZorpEntryTest : public testing::Test {
protected:
    fs::path RuntimeDir() const { return std::getenv("XDG_RUNTIME_DIR"); }
    fs::path LockFile() const { return RuntimeDir() / "zorp.lock"; }

    void UseLogProperties(ZorpProcess& zorp, const std::string& text) {
        fs::path config = m_dir / "config";
        WriteFile(config / "zorp" / "log.properties", text);
        zorp.SetEnv("XDG_CONFIG_HOME", config.string());
    }

    static std::vector<fs::path> LogFiles(const fs::path& dir) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename().string().rfind("mg_log_", 0) == 0) {
                files.push_back(entry.path());
            }
        }
        return files;
    }

    // Starts a copy and waits until it holds the lock and runs its loop.
    void StartRunning(ZorpProcess& zorp, const fs::path& output, const fs::path& logFile = {}) {
        ASSERT_TRUE(zorp.Start(output));
        ASSERT_TRUE(WaitFor([&] { return zorp::test::IsLocked(LockFile()); })) << zorp.Stderr();
        ASSERT_TRUE(zorp.ConnectPage()) << zorp.Stderr();
        if (!logFile.empty()) {
            ASSERT_TRUE(WaitFor([&] { return ReadFile(logFile).find(kLoopLine) != std::string::npos; }));
        }
    }

    TempDir m_dir;
};

TEST_F(ZorpEntryTest, SecondCopyExitsAtOnceWithCodeZeroAndWritesNoLog) {
    fs::path logs = m_dir / "logs";
    fs::create_directories(logs);
    ZorpProcess first;
    UseLogProperties(first, R"({"enable": 1, "path": ")" + logs.string() + R"("})");
    ASSERT_TRUE(first.Start(m_dir / "first"));
    ASSERT_TRUE(first.ConnectPage());
    ASSERT_TRUE(WaitFor([&] {
        auto files = LogFiles(logs);
        return files.size() == 1 && ReadFile(files[0]).find(kLoopLine) != std::string::npos;
    }));

    ZorpProcess second;
    UseLogProperties(second, R"({"enable": 1, "path": ")" + logs.string() + R"("})");
    fs::path secondCwd = m_dir / "second";
    ASSERT_TRUE(second.Start(secondCwd));
    auto exit = second.Wait(std::chrono::seconds(10));
    ASSERT_TRUE(exit);
    EXPECT_FALSE(exit->signalled);
    EXPECT_EQ(exit->code, 0);
    EXPECT_EQ(LogFiles(logs).size(), 1u);
    EXPECT_TRUE(LogFiles(secondCwd).empty());
    EXPECT_EQ(second.Stderr(), "");  // shows nothing, says nothing

    first.Signal(SIGTERM);
    ASSERT_TRUE(first.Wait());
}

TEST_F(ZorpEntryTest, EnabledLoggingWritesTheStartUpLinesIntoThePathFolder) {
    fs::path logs = m_dir / "log folder";
    fs::create_directories(logs);
    ZorpProcess zorp;
    UseLogProperties(zorp, R"({"enable": 1, "path": ")" + logs.string() + R"("})");
    fs::path cwd = m_dir / "cwd";
    ASSERT_TRUE(zorp.Start(cwd));
    ASSERT_TRUE(zorp.ConnectPage());
    ASSERT_TRUE(WaitFor([&] { return LogFiles(logs).size() == 1; }));
    fs::path log = LogFiles(logs)[0];
    ASSERT_TRUE(WaitFor([&] { return ReadFile(log).find(kLoopLine) != std::string::npos; }));
    EXPECT_TRUE(std::regex_match(log.filename().string(),
                                 std::regex(R"(mg_log_\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d\.log)")))
        << log;
    zorp.Signal(SIGTERM);
    auto exit = zorp.Wait();
    ASSERT_TRUE(exit);
    EXPECT_FALSE(exit->signalled);
    EXPECT_EQ(exit->code, 0);
    std::string text = ReadFile(log);
    EXPECT_NE(text.find(kWaitLine), std::string::npos) << text;
    EXPECT_NE(text.find(kWorkLine), std::string::npos) << text;
    EXPECT_LT(text.find(kWaitLine), text.find(kWorkLine));
    // A termination signal closes the program the way its own quit does.
    EXPECT_NE(text.find("CDndUiDlg::OnClose"), std::string::npos) << text;
    EXPECT_NE(text.find("Process will exit"), std::string::npos) << text;
    EXPECT_TRUE(LogFiles(cwd).empty());
}

TEST_F(ZorpEntryTest, DisabledOrAbsentLoggingStillWritesAFileWithoutVerboseLines) {
    const std::vector<std::string> settings = {R"({"enable": 0})", "", "not json", R"({"enable": "1"})"};
    for (const auto& text : settings) {
        SCOPED_TRACE(text);
        ZorpProcess zorp;
        if (!text.empty()) {
            UseLogProperties(zorp, text);
        } else {
            zorp.SetEnv("XDG_CONFIG_HOME", (m_dir / "no config").string());
        }
        fs::path cwd = m_dir / ("cwd" + std::to_string(&text - settings.data()));
        StartRunning(zorp, cwd);
        zorp.Signal(SIGTERM);
        auto exit = zorp.Wait();
        ASSERT_TRUE(exit);
        EXPECT_EQ(exit->code, 0);
        // No folder given: the log file lands in the current folder.
        auto files = LogFiles(cwd);
        ASSERT_EQ(files.size(), 1u);
        std::string log = ReadFile(files[0]);
        EXPECT_EQ(log.find(kWaitLine), std::string::npos) << log;
        EXPECT_EQ(log.find(kWorkLine), std::string::npos) << log;
        EXPECT_EQ(log.find("VERBOSE"), std::string::npos) << log;
    }
}

TEST_F(ZorpEntryTest, LogPropertiesBesideTheProgramComeFirst) {
    // A copy of the program in a folder of its own, with its skins beside it.
    fs::path programDir = m_dir / "program";
    fs::create_directories(programDir);
    fs::copy_file(ZorpProcess::DefaultProgram(), programDir / "zorp");
    fs::create_directory_symlink(ZorpProcess::DefaultProgram().parent_path() / "ui",
                                 programDir / "ui");
    fs::path logs = m_dir / "beside";
    fs::create_directories(logs);
    WriteFile(programDir / "log.properties", R"({"enable": 1, "path": ")" + logs.string() + R"("})");

    ZorpProcess zorp(programDir / "zorp");
    UseLogProperties(zorp, R"({"enable": 0})");  // loses against the program folder's file
    ASSERT_TRUE(zorp.Start(m_dir / "cwd"));
    ASSERT_TRUE(zorp.ConnectPage());
    ASSERT_TRUE(WaitFor([&] {
        auto files = LogFiles(logs);
        return files.size() == 1 && ReadFile(files[0]).find(kLoopLine) != std::string::npos;
    })) << zorp.Stderr();
    zorp.Signal(SIGINT);
    auto exit = zorp.Wait();
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->code, 0);
}

TEST_F(ZorpEntryTest, CrashWritesTheReportAndPrintsTheMessageInTheUserLanguage) {
    for (const auto& [lang, message] :
         std::vector<std::pair<std::string, std::string>>{
             {"en_US.UTF-8", "Client is crashed, please restart"},
             {"zh_CN.UTF-8", "客户端已崩溃，请重新启动"}}) {
        SCOPED_TRACE(lang);
        fs::path data = m_dir / ("data-" + lang);
        ZorpProcess zorp;
        zorp.SetEnv("LANG", lang);
        zorp.SetEnv("XDG_DATA_HOME", data.string());
        fs::path logs = m_dir / ("logs-" + lang);
        fs::create_directories(logs);
        UseLogProperties(zorp, R"({"enable": 1, "path": ")" + logs.string() + R"("})");
        ASSERT_TRUE(zorp.Start(m_dir / ("cwd-" + lang)));
        ASSERT_TRUE(zorp.ConnectPage());
        ASSERT_TRUE(WaitFor([&] {
            auto files = LogFiles(logs);
            return files.size() == 1 && ReadFile(files[0]).find(kLoopLine) != std::string::npos;
        }));
        // A fault happens where the thread is; a signal from outside lands wherever it is. Idle
        // in the event loop is where a fault report must work (inside the allocator it may
        // not, and the handler's alarm then ends the process).
        ASSERT_TRUE(WaitFor([&] { return zorp.MainThreadIsIdle(); }));
        zorp.SignalMainThread(SIGSEGV);
        auto exit = zorp.Wait();
        ASSERT_TRUE(exit);
        EXPECT_TRUE(exit->signalled);
        EXPECT_EQ(exit->code, SIGSEGV);
        EXPECT_NE(zorp.Stderr().find(message), std::string::npos) << zorp.Stderr();
        std::string report = ReadFile(data / "Quorva" / "User Data" / "QuorvaLocalProcess.dmp");
        EXPECT_NE(report.find("signal 11"), std::string::npos) << report;
        EXPECT_NE(report.find("Stack of the faulting thread"), std::string::npos) << report;
        // The lock died with the process: a new copy can start.
        EXPECT_TRUE(WaitFor([&] { return !zorp::test::IsLocked(LockFile()); }));
    }
}

TEST_F(ZorpEntryTest, ATakenLinkPortEndsTheProgramWithAClearMessageAndAnError) {
    auto holder = platform::LoopbackListener::Listen(0, 1);
    ASSERT_TRUE(holder);
    ZorpProcess zorp;
    zorp.SetEnv("ZORP_LINK_PORT", std::to_string(holder->Port()));
    zorp.SetEnv("XDG_CONFIG_HOME", (m_dir / "no config").string());
    ASSERT_TRUE(zorp.Start(m_dir / "cwd"));
    auto exit = zorp.Wait(std::chrono::seconds(20));
    ASSERT_TRUE(exit) << "the program must not wait for ever for a page that cannot come";
    EXPECT_FALSE(exit->signalled);
    EXPECT_NE(exit->code, 0);
    EXPECT_NE(zorp.Stderr().find("cannot listen for the web page"), std::string::npos)
        << zorp.Stderr();
}

TEST_F(ZorpEntryTest, ATerminationSignalEndsTheWaitForThePage) {
    ZorpProcess zorp;
    zorp.SetEnv("XDG_CONFIG_HOME", (m_dir / "no config").string());
    ASSERT_TRUE(zorp.Start(m_dir / "cwd"));
    ASSERT_TRUE(WaitFor([&] { return zorp::test::IsLocked(LockFile()); })) << zorp.Stderr();
    zorp.Signal(SIGTERM);
    auto exit = zorp.Wait(std::chrono::seconds(20));
    ASSERT_TRUE(exit);
    EXPECT_FALSE(exit->signalled);
    EXPECT_EQ(exit->code, 0);
}

}  // namespace
