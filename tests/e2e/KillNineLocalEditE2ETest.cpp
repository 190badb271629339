// kill -9 at moments drawn from a printed seed while edited versions of a file go up: a save
// in place or by renaming over the file, made while zorp runs or while it is dead, the kill
// landing in the quiet period, the hashing, the lock, the chunks or the start-up. After every
// restart (the page connects as it would) the last saved version reaches the server by itself,
// whole-file digest for digest, its lock is let go, and no chunk of a version arrives twice
// beyond one per kill.
#include "KillNineE2EFixture.h"
#include "cloud/CloudApi.h"
#include "link/LinkRequestEncoder.h"
#include "localedit/LocalEditMgr.h"
#include "platform/ChildProcess.h"

#include <sstream>

namespace zorp::test {
namespace {

// The desktop's program for the file: records the path it was given and stays until told to
// quit; the test saves the file itself.
constexpr const char* kEditorScript = R"(#!/bin/sh
ctl="$(dirname "$0")/control"
echo "$1" >> "$ctl/opened"
n=0
while [ -d "$ctl" ] && [ ! -e "$ctl/quit" ] && [ $n -lt 6000 ]; do
  sleep 0.05
  n=$((n+1))
done
)";

class KillNineLocalEditE2ETest : public KillNineE2EFixture {
protected:
    static constexpr const char* kName = "report.bin";
    static constexpr size_t kSize = 4 << 20;

    void SetUp() override {
        KillNineE2EFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        if (!fs::exists("/usr/bin/xdg-open") && !fs::exists("/usr/local/bin/xdg-open")) {
            GTEST_SKIP() << "xdg-open is not installed (scripts/bootstrap installs xdg-utils)";
        }
        const fs::path editor = m_dir / "editor.sh";
        WriteFile(editor, kEditorScript);
        fs::permissions(editor, fs::perms::owner_all);
        fs::create_directories(control);
        fs::create_directories(home / "data" / "applications");
        WriteFile(home / "data" / "applications" / "zorp-test-editor.desktop",
                  "[Desktop Entry]\nType=Application\nName=Test editor\nExec=" + editor.string() +
                      " %f\nMimeType=text/plain;application/octet-stream;\n");
        WriteFile(home / "config" / "mimeapps.list",
                  "[Default Applications]\ntext/plain=zorp-test-editor.desktop\n"
                  "application/octet-stream=zorp-test-editor.desktop\n");
        // xdg-open looks for the desktop's programs only where there is a display; zorp's
        // windows stay offscreen.
        m_extraEnv = {{"WAYLAND_DISPLAY", "zorp-test-no-display"},
                      {"QT_QPA_PLATFORM", "offscreen"},
                      {"XDG_CURRENT_DESKTOP", ""},
                      {"DISPLAY", ""}};
        const Json::Value planted = server.Plant(kName, kSize, 0, "random", 1);
        fid = planted["id"].asInt64();
        hash = planted["hash"].asString();
        ASSERT_GT(fid, 0);
    }
    void TearDown() override {
        WriteFile(control / "quit", "");
        if (page) {
            page->Stop(2000);
        }
    }

    // zorp-page asks for the edit, as the page does.
    void StartEditPage(ZorpProcess& zorp) {
        page = std::make_unique<platform::ChildProcess>();
        const std::vector<std::string> argv = {std::string(ZORP_BIN_DIR) + "/zorp-page",
                                               "--port",
                                               std::to_string(zorp.LinkPort()),
                                               "--connect-timeout",
                                               "30",
                                               "--watch",
                                               "--timeout",
                                               "0",
                                               "edit",
                                               "--fid",
                                               std::to_string(fid),
                                               "--pid",
                                               "0",
                                               "--name",
                                               kName,
                                               "--size",
                                               std::to_string(kSize),
                                               "--hash",
                                               hash,
                                               "--token",
                                               "{\"t\":9}"};
        ASSERT_TRUE(page->Start(argv));
    }

    fs::path WaitOpened() {
        auto line = [&] {
            std::error_code ec;
            return fs::exists(control / "opened", ec) ? ReadFile(control / "opened")
                                                      : std::string();
        };
        WaitFor([&] { return !line().empty() && line().back() == '\n'; }, std::chrono::seconds(60));
        std::string text = line();
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return fs::path(text);
    }

    // A save as an editor makes it: the file rewritten in place, or a new file renamed over
    // it. False when the file's folder is no longer there.
    static bool Save(const fs::path& edited, const std::string& content, bool rename) {
        std::error_code ec;
        if (!fs::exists(edited, ec)) {
            return false;
        }
        if (rename) {
            const fs::path staged =
                edited.parent_path() / ("." + edited.filename().string() + ".swp");
            WriteFile(staged, content);
            fs::rename(staged, edited, ec);
            return !ec;
        }
        WriteFile(edited, content);
        return fs::exists(edited, ec);
    }

    std::vector<std::string> OpenedLines() {
        std::vector<std::string> lines;
        std::error_code ec;
        if (!fs::exists(control / "opened", ec)) {
            return lines;
        }
        std::istringstream text(ReadFile(control / "opened"));
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    // A restart that finds an edit whose last version had reached the server ends that edit:
    // its folder is moved out of the edit folder, the editor's copy with it. The user opens
    // the file again from the page; the copy to edit is the last version saved.
    void Reopen(ZorpProcess& zorp, fs::path& edited, const std::string& saved) {
        EXPECT_TRUE(WaitFor([&] { return Sha256Hex(ServerContent()) == Sha256Hex(saved); },
                            std::chrono::seconds(30)))
            << "an edit ended by a restart had reached the server";
        CloudFileEntry file;
        for (const CloudFileEntry& entry : Children(0)) {
            if (entry.id == fid) {
                file = entry;
            }
        }
        const size_t before = OpenedLines().size();
        LocalEditMgr::EditRequest request;
        request.token = "{\"t\":9}";
        request.size = file.size;
        request.fid = fid;
        request.name = kName;
        request.hash = file.hash;
        ASSERT_TRUE(zorp.Page().SendRequest(LinkProtocol::EncodeLocalEdits({request})));
        ASSERT_TRUE(
            WaitFor([&] { return OpenedLines().size() > before; }, std::chrono::seconds(30)))
            << zorp.Stderr();
        edited = fs::path(OpenedLines().back());
        ++reopened;
        EXPECT_TRUE(WaitFor([&] { return Sha256OfFile(edited) == Sha256Hex(saved); },
                            std::chrono::seconds(30)))
            << "the copy opened again is the last version";
    }

    std::string ServerContent() {
        const Tree tree = ServerTree(server, 0);
        auto it = tree.find(kName);
        return it == tree.end() ? std::string() : it->second;
    }
    bool LockableByOthers() {
        CRequestContext context;
        if (!CloudApi::LockFile(context, fid, "another client").ok) {
            return false;
        }
        EXPECT_TRUE(CloudApi::UnlockFile(context, fid, "another client").ok);
        return true;
    }

    fs::path control = m_dir / "control";
    std::unique_ptr<platform::ChildProcess> page;
    int64_t fid = 0;
    std::string hash;
    int reopened = 0;
};

TEST_F(KillNineLocalEditE2ETest, TheLastSavedVersionArrivesWholeThroughKillsAtRandomMoments) {
    KillSchedule schedule("local-edit", 8);
    auto zorp = LaunchZorp();
    StartEditPage(*zorp);
    fs::path edited = WaitOpened();
    ASSERT_EQ(edited.filename(), kName) << zorp->Stderr();
    ASSERT_TRUE(WaitFor([&] { return Sha256OfFile(edited) == Sha256Hex(ServerContent()); },
                        std::chrono::seconds(30)))
        << "the copy to edit arrived: " << zorp->Stderr();
    // Chunks answered a little late: a version takes about half a second to go up.
    SetFaults({{"upload", "delay", {{"ms", "15"}, {"count", "1000"}}}});

    std::string saved;
    int versions = 0;
    // The file as saved last (a save refused because its folder went keeps the one before).
    auto saveNext = [&] {
        const std::string next = TestBytes(kSize + static_cast<size_t>(schedule.Between(0, 300000)),
                                           static_cast<uint32_t>(100 + versions + 1));
        if (!Save(edited, next, schedule.Chance(50))) {
            return false;
        }
        ++versions;
        saved = next;
        return true;
    };
    std::vector<Chunk> chunks;
    bool killedInStartUp = false;
    for (int kill = 0; kill < schedule.Kills(); ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill) + ", " + KillSchedule::kSeedEnv + "=" +
                     std::to_string(schedule.Seed()));
        // A new version while zorp runs, most of the time; otherwise the kill lands in the
        // restart's own upload of the last one.
        if (kill == 0 || (!killedInStartUp && schedule.Chance(60))) {
            if (!saveNext()) {
                Reopen(*zorp, edited, saved);
                if (HasFatalFailure()) {
                    return;
                }
                ASSERT_TRUE(saveNext()) << zorp->Stderr();
            }
        }
        AwaitMoment(schedule.Moment(0, 900));
        Kill(zorp, schedule);
        if (HasFatalFailure()) {
            return;
        }
        if (page) {
            page->Stop(2000);
            page.reset();
        }
        schedule.AddAllowance(kChunkBytes);
        const int64_t resentBefore = ResentChunkBytes(chunks);
        const auto taken = TakeChunks();
        chunks.insert(chunks.end(), taken.begin(), taken.end());
        EXPECT_LE(ResentChunkBytes(chunks) - resentBefore, kChunkBytes)
            << "sent again in the run this kill ended";
        // Now and then a save while zorp is dead: the next start finds the change itself.
        if (schedule.Chance(20)) {
            saveNext();  // (an edit already over keeps its last version)
        }
        zorp = Restart(schedule, &killedInStartUp);
    }
    if (killedInStartUp) {
        zorp->Signal(SIGKILL);
        zorp->Wait();
        zorp = LaunchZorp();
        ASSERT_TRUE(zorp->ConnectPage()) << zorp->Stderr();
    }
    const std::string wanted = Sha256Hex(saved);
    EXPECT_TRUE(WaitFor([&] { return Sha256Hex(ServerContent()) == wanted; },
                        std::chrono::seconds(90), std::chrono::milliseconds(100)))
        << "the last saved version goes up by itself: " << zorp->Stderr();
    // (Unless the last restart found the edit over and moved its folder away.)
    if (fs::exists(edited)) {
        EXPECT_EQ(Sha256OfFile(edited), wanted) << "the edited copy is as saved";
    }
    EXPECT_TRUE(WaitFor([&] { return LockableByOthers(); }, std::chrono::seconds(30)))
        << "the lock is let go";
    const auto taken = TakeChunks();
    chunks.insert(chunks.end(), taken.begin(), taken.end());
    schedule.AddResent(ResentChunkBytes(chunks));
    EXPECT_EQ(schedule.ResentBeyondAllowance(), 0) << "chunks sent twice beyond the kills'";
    std::cout << schedule.Path() << ": " << versions << " versions saved, " << reopened
              << " edits opened again after a restart had ended them" << std::endl;
    EndZorp(zorp);
    CheckDatabases(schedule);
    Report(schedule);
    EXPECT_TRUE(schedule.IntegrityAllOk());
}

}  // namespace
}  // namespace zorp::test
