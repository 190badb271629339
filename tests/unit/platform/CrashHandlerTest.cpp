#include "platform/CrashHandler.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <stdexcept>
#include <thread>

#include "support/TempDir.h"

namespace {

using zorp::test::ReadFile;
using zorp::test::TempDir;

// An address no process maps; read at run time so the compiler keeps the store.
volatile uintptr_t g_unmappedAddress = 16;

// Kept out of line so that the report names it.
__attribute__((noinline)) void CrashingWorkerFunction() {
    *reinterpret_cast<volatile int*>(g_unmappedAddress) = 1;
    asm volatile("" ::: "memory");  // no tail position for the faulting store
}

void CrashOnAWorkerThread(const std::filesystem::path& report) {
    platform::InstallCrashHandler(report, "Client is crashed, please restart");
    std::thread([] { CrashingWorkerFunction(); }).join();
}

TEST(CrashHandlerDeathTest, FaultWritesTheReportPrintsTheMessageAndEndsBySignal) {
    TempDir dir;
    auto report = dir / "QuorvaLocalProcess.dmp";
    zorp::test::WriteFile(report, "left over from an earlier crash, much longer than a header");
    EXPECT_EXIT(CrashOnAWorkerThread(report), testing::KilledBySignal(SIGSEGV),
                "Client is crashed, please restart");
    std::string text = ReadFile(report);
    EXPECT_NE(text.find("signal 11"), std::string::npos) << text;
    // The faulting thread's own stack, not the main thread's.
    EXPECT_NE(text.find("CrashingWorkerFunction"), std::string::npos) << text;
    EXPECT_EQ(text.find("left over"), std::string::npos);
}

void ThrowUncaught(const std::filesystem::path& report) {
    platform::InstallCrashHandler(report, "crash message");
    std::thread([] { throw std::runtime_error("nobody catches this"); }).join();
}

TEST(CrashHandlerDeathTest, UncaughtExceptionIsReportedWithItsText) {
    TempDir dir;
    auto report = dir / "QuorvaLocalProcess.dmp";
    EXPECT_EXIT(ThrowUncaught(report), testing::KilledBySignal(SIGABRT), "crash message");
    std::string text = ReadFile(report);
    EXPECT_NE(text.find("std::runtime_error: nobody catches this"), std::string::npos) << text;
}

// Far deeper than any stack; read at run time so the compiler cannot see the recursion end.
volatile int g_recursionLimit = 1 << 30;

__attribute__((noinline)) int RecurseDown(int depth) {
    volatile char buffer[4096];
    buffer[0] = static_cast<char>(depth);
    if (depth >= g_recursionLimit) {
        return 0;
    }
    return RecurseDown(depth + 1) + buffer[0];
}

void OverflowTheStack(const std::filesystem::path& report) {
    platform::InstallCrashHandler(report, "overflow");
    RecurseDown(0);
}

TEST(CrashHandlerDeathTest, StackOverflowOfTheMainThreadIsStillReported) {
    TempDir dir;
    auto report = dir / "QuorvaLocalProcess.dmp";
    EXPECT_EXIT(OverflowTheStack(report), testing::KilledBySignal(SIGSEGV), "overflow");
    EXPECT_NE(ReadFile(report).find("signal 11"), std::string::npos);
}

}  // namespace
