// The clipboard paste through the dispatcher: the page's copy (type 15) arms the placeholder
// and offers it; a paste into a folder downloads the copied files and folder tree there through
// the download queue and takes the pasted placeholder out again; letting the copy go removes
// a pasted placeholder, never a file of the user's own.
#include <gtest/gtest.h>

#include <filesystem>

#include "DispatcherFixture.h"
#include "core/MultiLanguage.h"
#include "platform/ClipboardPlaceholder.h"
#include "support/CloudTree.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;
using LinkProtocol::Out;

class ClipboardFlowTest : public DispatcherFixture {
protected:
    void SetUp() override {
        DispatcherFixture::SetUp();
        // The plain-file way: the test hands the paste over itself.
        ASSERT_TRUE(placeholder.Start(local / "runtime", false));
        dispatcher().SetClipboardPlaceholder(&placeholder);
    }
    void TearDown() override {
        dispatcher().SetClipboardPlaceholder(nullptr);
        placeholder.Stop();
        DispatcherFixture::TearDown();
    }
    void Copy(const std::vector<LinkProtocol::ClipboardItem>& items) {
        ASSERT_TRUE(page.SendRequest(LinkProtocol::EncodeClipboardCopy(items)));
        ASSERT_TRUE(loop.RunUntil([&] { return !drop.offered.empty() && placeholder.IsArmed(); }, 5000));
    }
    void Paste(const fs::path& folder) {
        // What the placeholder's reader found, as the server actions worker posts it.
        platform::PostMessage(dropWindow, platform::Message(WM_PASTE_DETECTED,
                                                            platform::MakePayload<fs::path>(folder)));
    }

    platform::ClipboardPlaceholder placeholder{CMultiLanguageMgr::PlaceholderText(1033), {}};
};

TEST_F(ClipboardFlowTest, APasteDownloadsTheCopyIntoItsFolderAndTakesThePlaceholderOut) {
    CRequestContext context;
    const int64_t album = CreateFolder(context, "Album");
    ASSERT_TRUE(server.Plant("cover.jpg", 300000, album, "random", 1).isObject());
    const Json::Value song = server.Plant("song.mp3", 500000, 0, "random", 2);

    Copy({{song["id"].asInt64(), "song.mp3", 0, LinkProtocol::kFileItem, 500000},
          {album, "Album", 0, 0, 0}});
    EXPECT_EQ(drop.offered.back(), placeholder.GetPath().string());

    const fs::path target = local / "pasted";
    fs::create_directories(target);
    // The file manager's copy of the placeholder, as it lands beside the real files.
    WriteFile(target / "Quorva.txt", placeholder.GetContent());
    Paste(target);
    ASSERT_TRUE(RunUntilPageGets(Out::kDownloadsFinished, 60000));
    Tree expected = ServerTree(server, album, "Album/");
    expected["Album/"] = "";
    expected["song.mp3"] = ServerTree(server, 0).at("song.mp3");
    ASSERT_TRUE(loop.RunUntil([&] { return !fs::exists(target / "Quorva.txt"); }, 5000));
    Tree got = LocalTree(target, "");
    got.erase("");
    EXPECT_EQ(got, expected);

    // The copy was taken: another paste of it brings nothing.
    const int finished = CountReceived(Out::kDownloadsFinished);
    Paste(local / "pasted");
    RunAndCollect(500);
    EXPECT_EQ(CountReceived(Out::kDownloadsFinished), finished);
}

TEST_F(ClipboardFlowTest, LettingTheCopyGoRemovesAPastedPlaceholderButNeverTheUsersOwnFile) {
    const Json::Value note = server.Plant("note.txt", 10, 0, "random", 3);
    Copy({{note["id"].asInt64(), "note.txt", 0, LinkProtocol::kFileItem, 10}});
    const fs::path target = local / "t1";
    fs::create_directories(target);
    // An empty copy (a second paste of the same copy gives one) is one of ours.
    WriteFile(target / "Quorva.txt", "");
    Paste(target);
    ASSERT_TRUE(RunUntilPageGets(Out::kDownloadsFinished, 30000));
    // Before the clean-up passes end, the user's own file of that name appears there.
    WriteFile(target / "Quorva.txt", "my shopping list, not a helper file");
    dispatcher().OnClipboardReleased();
    EXPECT_FALSE(placeholder.IsArmed());
    EXPECT_TRUE(fs::exists(target / "Quorva.txt")) << "the user's own file stays";
    EXPECT_TRUE(dispatcher().GetPasteTarget().empty());
}

}  // namespace
}  // namespace zorp::test
