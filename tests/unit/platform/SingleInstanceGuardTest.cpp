#include "platform/SingleInstanceGuard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/TempDir.h"
#include "support/Unprivileged.h"
#include "support/WaitFor.h"

namespace {

namespace fs = std::filesystem;
using platform::SingleInstanceGuard;
using zorp::test::TempDir;

TEST(SingleInstanceGuardTest, SecondHolderIsRefusedUntilTheFirstLetsGo) {
    SingleInstanceGuard first("guard-test.lock");
    ASSERT_EQ(first.Acquire(), SingleInstanceGuard::Result::kAcquired) << first.GetError();
    EXPECT_EQ(first.LockPath(), fs::path(std::getenv("XDG_RUNTIME_DIR")) / "guard-test.lock");

    // flock conflicts between separate opens even inside one process, as between two copies.
    SingleInstanceGuard second("guard-test.lock");
    EXPECT_EQ(second.Acquire(), SingleInstanceGuard::Result::kAlreadyRunning);
    EXPECT_FALSE(second.IsHeld());

    first.Release();
    EXPECT_EQ(second.Acquire(), SingleInstanceGuard::Result::kAcquired);
}

TEST(SingleInstanceGuardTest, LockIsNotInheritedByStartedPrograms) {
    // A copy holds the lock, starts a long-running program and ends without unlocking. With
    // the lock file closed on exec, the lock dies with the copy although the program runs on.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t copy = fork();
    if (copy == 0) {
        SingleInstanceGuard guard("guard-cloexec.lock");
        if (guard.Acquire() != SingleInstanceGuard::Result::kAcquired) {
            _exit(1);
        }
        pid_t program = fork();
        if (program == 0) {
            execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        ssize_t n = write(pipeFds[1], &program, sizeof program);
        _exit(n == sizeof program ? 0 : 1);  // no Release: the process just ends
    }
    ASSERT_GT(copy, 0);
    close(pipeFds[1]);
    pid_t program = 0;
    ASSERT_EQ(read(pipeFds[0], &program, sizeof program), static_cast<ssize_t>(sizeof program));
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(copy, &status, 0), copy);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // Between its fork and its exec the program still shares the descriptor; after the exec
    // it must not.
    SingleInstanceGuard next("guard-cloexec.lock");
    EXPECT_TRUE(zorp::test::WaitFor(
        [&] { return next.Acquire() == SingleInstanceGuard::Result::kAcquired; },
        std::chrono::seconds(5)));
    kill(program, SIGKILL);
}

TEST(SingleInstanceGuardTest, FallbackFolderIsCreatedPrivate) {
    TempDir base;
    std::string error;
    fs::path dir = SingleInstanceGuard::ResolveLockDir("", base.path(), &error);
    ASSERT_EQ(dir, base / ("zorp-" + std::to_string(geteuid()))) << error;
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A relative or unusable runtime folder also leads to the fallback.
    EXPECT_EQ(SingleInstanceGuard::ResolveLockDir("relative/dir", base.path(), &error), dir);
    EXPECT_EQ(SingleInstanceGuard::ResolveLockDir((base / "missing").string(), base.path(), &error),
              dir);
}

TEST(SingleInstanceGuardTest, PlantedFallbackFoldersAreRefused) {
    std::string error;
    {
        TempDir base;  // open to everybody
        fs::path dir = base / ("zorp-" + std::to_string(geteuid()));
        fs::create_directory(dir);
        fs::permissions(dir, fs::perms::all);
        EXPECT_TRUE(SingleInstanceGuard::ResolveLockDir("", base.path(), &error).empty());
        EXPECT_NE(error.find("other users"), std::string::npos) << error;
    }
    {
        TempDir base;  // a symbolic link to a folder we own
        TempDir target;
        fs::permissions(target.path(), fs::perms::owner_all, fs::perm_options::replace);
        fs::create_directory_symlink(target.path(), base / ("zorp-" + std::to_string(geteuid())));
        EXPECT_TRUE(SingleInstanceGuard::ResolveLockDir("", base.path(), &error).empty());
    }
    {
        // A world-writable runtime folder is not trusted either.
        TempDir runtime;
        fs::permissions(runtime.path(), fs::perms::all);
        TempDir base;
        fs::path dir = SingleInstanceGuard::ResolveLockDir(runtime.path().string(), base.path(),
                                                           &error);
        EXPECT_EQ(dir.parent_path(), base.path());
    }
}

TEST(SingleInstanceGuardTest, FallbackFolderOfAnotherUserIsRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand the folder to another user";
    }
    TempDir base;
    fs::permissions(base.path(), fs::perms::all | fs::perms::sticky_bit);
    // Made by root under the name the unprivileged user (uid 65534, "nobody") will look for.
    fs::path planted = base / "zorp-65534";
    fs::create_directory(planted);
    fs::permissions(planted, fs::perms::owner_all, fs::perm_options::replace);
    int refused = zorp::test::RunUnprivileged([&] {
        std::string error;
        return SingleInstanceGuard::ResolveLockDir("", base.path(), &error).empty() ? 1 : 0;
    });
    EXPECT_EQ(refused, 1);
}

}  // namespace
