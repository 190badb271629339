#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/ChildProcess.h"
#include "platform/ClipboardPlaceholder.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;
using platform::ClipboardPlaceholder;
using zorp::test::TempDir;

namespace {

// 32 bytes each; the two ways differ, so that a test of one way never takes the other's
// copies (they run side by side) for its own.
const std::string kFuseText = "zorp helper file; delete it....\n";
const std::string kFileText = "zorp helper file, delete it....\n";

class Pastes {
public:
    void Add(const fs::path& folder) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_folders.push_back(folder);
    }
    std::vector<fs::path> Folders() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_folders;
    }

private:
    std::mutex m_mutex;
    std::vector<fs::path> m_folders;
};

int RunChild(const std::vector<std::string>& argv) {
    platform::ChildProcess child;
    if (!child.Start(argv)) {
        return -1;
    }
    auto code = child.Wait(10000);
    return code ? *code : child.Stop();
}

// A writer as a file manager is: the copy is opened first, then the placeholder is read into
// it, and the copy stays open a moment after.
int CopyHoldingTheTarget(const fs::path& from, const fs::path& to) {
    return RunChild({"/bin/sh", "-c", "exec 3>\"$2\"; cat \"$1\" >&3; sleep 0.3", "sh", from.string(),
                to.string()});
}

bool FuseUsable() {
    struct stat st {};
    return ::stat("/dev/fuse", &st) == 0;
}

}  // namespace

class ClipboardPlaceholderTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam() && !FuseUsable()) {
            GTEST_SKIP() << "no /dev/fuse on this machine";
        }
        placeholder = std::make_unique<ClipboardPlaceholder>(
            GetParam() ? kFuseText : kFileText, [this](const fs::path& folder) { pastes.Add(folder); });
        ASSERT_TRUE(placeholder->Start(runtime / "clipboard", GetParam()));
        if (GetParam() && placeholder->GetMode() != ClipboardPlaceholder::Mode::kFuse) {
            GTEST_SKIP() << "FUSE cannot be mounted here";
        }
    }

    TempDir runtime{"zorp-runtime"};
    TempDir target{"zorp-paste"};
    TempDir second{"zorp-paste2"};
    Pastes pastes;
    std::unique_ptr<ClipboardPlaceholder> placeholder;
};

TEST_P(ClipboardPlaceholderTest, APasteNamesItsFolderOnceAndAPipeIsNoPaste) {
    const fs::path file = placeholder->GetPath();
    EXPECT_EQ(fs::status(file.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    placeholder->Arm();

    // Read into a pipe: no folder to paste into.
    EXPECT_EQ(RunChild({"/bin/sh", "-c", "cat \"$1\" | cat >/dev/null", "sh", file.string()}), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(pastes.Folders().empty());
    EXPECT_TRUE(placeholder->IsArmed());

    ASSERT_EQ(CopyHoldingTheTarget(file, target / "Quorva.txt"), 0);
    ASSERT_TRUE(zorp::test::WaitFor([&] { return pastes.Folders().size() == 1; }));
    EXPECT_EQ(pastes.Folders().front(), target.path());
    EXPECT_TRUE(placeholder->IsPastedCopy(target / "Quorva.txt"));

    // The same copy pasted again: nothing more.
    ASSERT_EQ(CopyHoldingTheTarget(file, second / "Quorva.txt"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(pastes.Folders().size(), 1u);
    EXPECT_EQ(fs::file_size(second / "Quorva.txt"), 0u);

    // A new copy, a paste into a second folder.
    placeholder->Arm();
    ASSERT_EQ(CopyHoldingTheTarget(file, second / "Quorva.txt"), 0);
    ASSERT_TRUE(zorp::test::WaitFor([&] { return pastes.Folders().size() == 2; }));
    EXPECT_EQ(pastes.Folders().back(), second.path());
}

TEST_P(ClipboardPlaceholderTest, AFileOfTheUsersOwnUnderTheSameNameIsNeverTakenForACopy) {
    zorp::test::WriteFile(target / "Quorva.txt", "my own notes, not a placeholder");
    EXPECT_FALSE(placeholder->IsPastedCopy(target / "Quorva.txt"));
    zorp::test::WriteFile(target / "Quorva.txt", "");
    EXPECT_TRUE(placeholder->IsPastedCopy(target / "Quorva.txt"));
    fs::create_symlink(placeholder->GetPath(), second / "Quorva.txt");
    EXPECT_FALSE(placeholder->IsPastedCopy(second / "Quorva.txt"));
}

INSTANTIATE_TEST_SUITE_P(Ways, ClipboardPlaceholderTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Fuse" : "WatchedFile"; });

