#include <gtest/gtest.h>

#include "core/CommandLine.h"
#include "core/Logging.h"
#include "platform/SystemInfo.h"
#include "support/TempDir.h"

TEST(LoggingTest, VerboseLinesAreWrittenOnlyAtTheSwitchedLevel) {
    logging::ScopedLogCapture capture(0);
    logging::SetVlogLevel(0);
    VLOG(1) << "hidden verbose line";
    LOG(ERROR) << "visible error line";
    logging::SetVlogLevel(1);
    VLOGF(1, "Task[%02d] shown %s", 3, "now");
    VLOG(2) << "too verbose";
    logging::SetVlogLevel(0);
    EXPECT_FALSE(capture.Contains("hidden verbose line"));
    EXPECT_FALSE(capture.Contains("too verbose"));
    EXPECT_TRUE(capture.Contains("visible error line"));
    EXPECT_TRUE(capture.Contains("Task[03] shown now"));
}

TEST(LoggingTest, EveryLineCarriesProcessThreadTimeTickFileAndLine) {
    logging::ScopedLogCapture capture;
    LOG(WARNING) << "marker";
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string& line = lines[0];
    std::string expectStart = "[" + std::to_string(platform::ProcessId()) + ":" +
                              std::to_string(platform::CurrentThreadId()) + ":";
    EXPECT_EQ(line.rfind(expectStart, 0), 0u) << line;
    EXPECT_NE(line.find(":WARNING:LoggingTest.cpp("), std::string::npos) << line;
    EXPECT_NE(line.find(")] marker"), std::string::npos) << line;
}

TEST(LoggingTest, LogFileReceivesLinesAndTheVSwitchEnablesVerbose) {
    zorp::test::TempDir dir;
    CommandLine::Reset();
    const char* argv[] = {"zorp"};
    ASSERT_TRUE(CommandLine::Init(1, argv));
    CommandLine::ForCurrentProcess()->AppendSwitch("enable-logging");
    CommandLine::ForCurrentProcess()->AppendSwitchASCII("v", "1");
    logging::LoggingSettings settings;
    settings.log_file = (dir / "test.log").string();
    settings.logging_dest = logging::LOG_TO_FILE;
    ASSERT_TRUE(logging::InitLogging(settings));
    VLOG(1) << "verbose into the file";
    logging::ShutdownLogging();
    logging::SetVlogLevel(0);
    CommandLine::Reset();
    EXPECT_NE(zorp::test::ReadFile(dir / "test.log").find("verbose into the file"),
              std::string::npos);
}

TEST(CommandLineTest, SwitchesWithAndWithoutValues) {
    const char* argv[] = {"prog", "--alpha", "--v=2", "plain", "--", "--not-a-switch"};
    CommandLine cl(std::vector<std::string>(argv, argv + 6));
    EXPECT_TRUE(cl.HasSwitch("alpha"));
    EXPECT_EQ(cl.GetSwitchValueASCII("alpha"), "");
    EXPECT_EQ(cl.GetSwitchValueASCII("v"), "2");
    EXPECT_FALSE(cl.HasSwitch("not-a-switch"));
    EXPECT_EQ(cl.GetArgs(), (std::vector<std::string>{"plain", "--not-a-switch"}));
    cl.AppendSwitchASCII("v", "1");
    EXPECT_EQ(cl.GetSwitchValueASCII("v"), "1");
}
