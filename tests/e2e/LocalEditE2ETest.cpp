// Local editing end to end: zorp run as a black box, the page played by the real zorp-page
// (its edit command), zorp-cloud as the server, and the real xdg-open starting a test
// "editor" that the test's own desktop entry and mimeapps.list make the program of text files.
// The editor records that it ran and then saves the file as the test tells it, in place or
// by writing a temporary file and renaming it over the edited one.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZorpProcess.h"
#include "cloud/CRequestContext.h"
#include "cloud/CloudApi.h"
#include "link/LinkDecoder.h"
#include "link/LinkProtocol.h"
#include "platform/ChildProcess.h"
#include "support/CloudServer.h"
#include "support/CloudTree.h"
#include "support/ContentHash.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;
using LinkProtocol::Out;

// Runs until the control folder goes away or a "quit" file appears. Each command file
// "N.inplace" or "N.rename" holds the content of the next save; it is renamed to "N.done"
// once saved.
constexpr const char* kEditorScript = R"(#!/bin/sh
ctl="$(dirname "$0")/control"
echo "$1" >> "$ctl/opened"
n=0
while [ -d "$ctl" ] && [ ! -e "$ctl/quit" ] && [ $n -lt 12000 ]; do
  for cmd in "$ctl"/*.inplace "$ctl"/*.rename; do
    [ -e "$cmd" ] || continue
    case "$cmd" in
      *.inplace) cat "$cmd" > "$1" ;;
      *.rename) tmp="$(dirname "$1")/.$(basename "$1").swp"
                cat "$cmd" > "$tmp" && mv -f "$tmp" "$1" ;;
    esac
    mv -f "$cmd" "${cmd%.*}.done"
  done
  sleep 0.02
  n=$((n+1))
done
)";

class LocalEditE2ETest : public testing::Test {
protected:
    static constexpr const char* kName = "notes.txt";
    static constexpr size_t kSize = 1 << 20;

    void SetUp() override {
        if (!fs::exists("/usr/bin/xdg-open") && !fs::exists("/usr/local/bin/xdg-open")) {
            GTEST_SKIP() << "xdg-open is not installed (scripts/bootstrap installs xdg-utils)";
        }
        ASSERT_TRUE(server.Start()) << server.Error();
        server.UseForOptions();
        for (const char* dir : {"data/applications", "cache", "config/zorp", "runtime"}) {
            fs::create_directories(home / dir);
        }
        fs::permissions(home / "runtime", fs::perms::owner_all);
        WriteFile(home / "config" / "zorp" / "appConfig",
                  "{\"host\": \"" + server.WebHost() + "\"}\n");
        // The desktop's program for text files: the test editor.
        const fs::path editor = m_dir.path() / "editor.sh";
        WriteFile(editor, kEditorScript);
        fs::permissions(editor, fs::perms::owner_all);
        fs::create_directories(control);
        WriteFile(home / "data" / "applications" / "zorp-test-editor.desktop",
                  "[Desktop Entry]\nType=Application\nName=Test editor\nExec=" + editor.string() +
                      " %f\nMimeType=text/plain;application/octet-stream;\n");
        // The test's contents are random bytes, which the desktop takes for octet streams.
        WriteFile(home / "config" / "mimeapps.list",
                  "[Default Applications]\ntext/plain=zorp-test-editor.desktop\n"
                  "application/octet-stream=zorp-test-editor.desktop\n");

        const Json::Value planted = server.Plant(kName, kSize, 0, "random", 1);
        fid = planted["id"].asInt64();
        hash = planted["hash"].asString();
        ASSERT_GT(fid, 0);
        server.ClearFaults();
    }
    void TearDown() override {
        WriteFile(control / "quit", "");
        if (page) {
            page->Stop(2000);
        }
    }

    std::unique_ptr<ZorpProcess> StartZorp(bool withTestPage) {
        auto zorp = std::make_unique<ZorpProcess>();
        zorp->SetEnv("XDG_DATA_HOME", (home / "data").string());
        zorp->SetEnv("XDG_CACHE_HOME", (home / "cache").string());
        zorp->SetEnv("XDG_CONFIG_HOME", (home / "config").string());
        zorp->SetEnv("XDG_RUNTIME_DIR", (home / "runtime").string());
        zorp->SetEnv("HOME", home.string());
        // xdg-open only looks for the desktop's programs where there is a display; the windows
        // of zorp stay offscreen.
        zorp->SetEnv("WAYLAND_DISPLAY", "zorp-test-no-display");
        zorp->SetEnv("QT_QPA_PLATFORM", "offscreen");
        zorp->UnsetEnv("XDG_CURRENT_DESKTOP");
        zorp->UnsetEnv("DISPLAY");
        EXPECT_TRUE(zorp->Start(m_dir.path() / ("run" + std::to_string(++m_runs))));
        if (withTestPage) {
            EXPECT_TRUE(zorp->ConnectPage()) << zorp->Stderr();
        }
        return zorp;
    }

    // zorp-page as the page: it asks for the edit and prints what zorp reports for as long as
    // zorp runs.
    void StartEditPage(ZorpProcess& zorp) {
        page = std::make_unique<platform::ChildProcess>();
        ASSERT_TRUE(page->Start({std::string(ZORP_BIN_DIR) + "/zorp-page", "--port",
                                 std::to_string(zorp.LinkPort()), "--connect-timeout", "30",
                                 "--watch", "--timeout", "0", "edit", "--fid", std::to_string(fid),
                                 "--pid", "0", "--name", kName, "--size", std::to_string(kSize),
                                 "--hash", hash, "--token", "{\"t\":7}"}));
    }
    // The lines zorp-page printed so far.
    const std::vector<std::string>& PageLines() {
        while (page) {
            auto line = page->ReadLine(0);
            if (!line) {
                break;
            }
            pageLines.push_back(*line);
        }
        return pageLines;
    }
    bool PageSaw(Out type) {
        for (const auto& line : PageLines()) {
            if (LinkProtocol::OutTypeOf(line) == type) {
                return true;
            }
        }
        return false;
    }

    // The edited copy, once the editor was started for it (its whole line written).
    fs::path WaitOpened() {
        auto line = [&] {
            std::error_code ec;
            return fs::exists(control / "opened", ec) ? ReadFile(control / "opened") : std::string();
        };
        WaitFor([&] { return !line().empty() && line().back() == '\n'; }, std::chrono::seconds(60));
        std::string text = line();
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return fs::path(text);
    }

    // The editor saves `content` (in place or through a temporary file renamed over it).
    void Save(const std::string& content, bool rename) {
        const std::string n = std::to_string(++m_saves);
        const fs::path staged = control / (n + ".staged");
        WriteFile(staged, content);
        fs::rename(staged, control / (n + (rename ? ".rename" : ".inplace")));
    }
    bool Saved(int n) { return fs::exists(control / (std::to_string(n) + ".done")); }
    int SaveCount() const { return m_saves; }

    std::string ServerContent() {
        const Tree tree = ServerTree(server, 0);
        auto it = tree.find(kName);
        return it == tree.end() ? std::string() : it->second;
    }
    bool ServerHolds(const std::string& content) {
        return WaitFor([&] { return ServerContent() == content; }, std::chrono::seconds(90),
                       std::chrono::milliseconds(100));
    }
    // Whether another client could take the lock now (it gives it back at once).
    bool LockableByOthers() {
        CRequestContext context;
        if (!CloudApi::LockFile(context, fid, "another client").ok) {
            return false;
        }
        EXPECT_TRUE(CloudApi::UnlockFile(context, fid, "another client").ok);
        return true;
    }
    size_t Requests(const std::string& action) { return server.RequestTexts(action).size(); }
    // Lock or unlock requests of zorp (whose lock key is the file name), not the test's own.
    size_t ZorpRequests(const std::string& action) {
        size_t count = 0;
        for (const auto& request : server.RequestTexts(action)) {
            count += request.body.find(std::string("lockKey=") + kName) != std::string::npos;
        }
        return count;
    }
    // Hash rounds zorp finished for edited copies, from its log.
    size_t HashRounds(ZorpProcess& zorp) {
        const std::string text = zorp.Stderr();
        size_t count = 0;
        for (size_t at = text.find("LocalEditMgr::updateFileHash: status"); at != std::string::npos;
             at = text.find("LocalEditMgr::updateFileHash: status", at + 1)) {
            ++count;
        }
        return count;
    }

    CloudServer server;
    TempDir m_dir{"zorp-edit-e2e"};
    fs::path home = m_dir.path() / "home";
    fs::path control = m_dir.path() / "control";
    std::unique_ptr<platform::ChildProcess> page;
    std::vector<std::string> pageLines;
    int64_t fid = 0;
    std::string hash;

private:
    int m_runs = 0;
    int m_saves = 0;
};

TEST_F(LocalEditE2ETest, EverySaveThatChangesTheFileGoesUpUnderTheLock) {
    auto zorp = StartZorp(false);
    StartEditPage(*zorp);
    const fs::path edited = WaitOpened();
    ASSERT_EQ(edited.filename(), kName) << zorp->Stderr();
    EXPECT_TRUE(WaitFor([&] { return PageSaw(Out::kEditDnldDone); })) << zorp->Stderr();
    EXPECT_TRUE(PageSaw(Out::kEditDnldProgress));
    EXPECT_EQ(ReadFile(edited), ServerContent());
    EXPECT_TRUE(LockableByOthers()) << "nothing is locked before a save";

    // Two saves within the quiet period, one of each style: one upload, of the last.
    const std::string v1 = TestBytes(kSize, 11), v2 = TestBytes(kSize, 12);
    Save(v1, false);
    Save(v2, true);
    ASSERT_TRUE(ServerHolds(v2)) << zorp->Stderr();
    ASSERT_TRUE(WaitFor([&] { return ZorpRequests("unlockFile") == 1; }));
    EXPECT_EQ(Requests("uploadInit"), 1u);
    EXPECT_TRUE(LockableByOthers());

    // A save that leaves the content as it is: hashed, and nothing sent.
    const size_t rounds = HashRounds(*zorp);
    Save(v2, false);
    ASSERT_TRUE(WaitFor([&] { return HashRounds(*zorp) > rounds; }, std::chrono::seconds(30)))
        << zorp->Stderr();

    // A long upload (each chunk answered late) is renewed on the lock's cadence; a save during
    // it is one more upload after it.
    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "800"}, {"count", "1000"}}));
    const std::string v3 = TestBytes(kSize, 13), v4 = TestBytes(kSize, 14);
    Save(v3, true);
    ASSERT_TRUE(WaitFor([&] { return Requests("uploadInit") == 2; }, std::chrono::seconds(30)));
    EXPECT_FALSE(LockableByOthers()) << "locked while it goes up";
    Save(v4, false);
    ASSERT_TRUE(ServerHolds(v4)) << zorp->Stderr();
    ASSERT_TRUE(WaitFor([&] { return ZorpRequests("unlockFile") == 3; }, std::chrono::seconds(30)));
    EXPECT_EQ(Requests("uploadInit"), 3u) << "no upload for the unchanged save";
    // Two uploads of 8 chunks answered 800 ms late, against a renewal of 58 s scaled to 2.9 s.
    EXPECT_GE(ZorpRequests("lockFile"), 2u);
    EXPECT_TRUE(LockableByOthers());

    zorp->Signal(SIGTERM);
    ASSERT_TRUE(zorp->Wait());
}

// A kill -9 while a saved version goes up: the next start sends it again, and the lock the
// killed run held is let go.
TEST_F(LocalEditE2ETest, KilledWithASavePendingTheNextStartUploadsItAndUnlocks) {
    auto zorp = StartZorp(false);
    StartEditPage(*zorp);
    const fs::path edited = WaitOpened();
    ASSERT_EQ(edited.filename(), kName) << zorp->Stderr();

    ASSERT_TRUE(server.SetFault("upload", "delay", {{"ms", "800"}, {"count", "1000"}}));
    const std::string saved = TestBytes(kSize, 21);
    Save(saved, true);
    ASSERT_TRUE(WaitFor([&] { return Requests("uploadInit") == 1; }, std::chrono::seconds(30)))
        << zorp->Stderr();
    zorp->Signal(SIGKILL);
    ASSERT_TRUE(zorp->Wait());
    page->Stop(2000);
    EXPECT_NE(ServerContent(), saved);
    EXPECT_FALSE(LockableByOthers()) << "the killed run's lock is still held";

    server.ClearFaults();
    zorp = StartZorp(true);
    ASSERT_TRUE(ServerHolds(saved)) << zorp->Stderr();
    EXPECT_TRUE(WaitFor([&] { return LockableByOthers(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(fs::exists(edited)) << "a pending edit stays where its editor has it";

    // Still watched: a later save goes up too.
    const std::string later = TestBytes(kSize, 22);
    Save(later, false);
    EXPECT_TRUE(ServerHolds(later)) << zorp->Stderr();
    zorp->Page().SendRequest(LinkProtocol::In::kQuit);
    ASSERT_TRUE(zorp->Wait());
}

}  // namespace
}  // namespace zorp::test
