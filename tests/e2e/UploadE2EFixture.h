#pragma once

// What the end-to-end upload tests share: zorp run as a black box on its own link port and its
// own user folders, the page played over the link, zorp-cloud with faults as the server.
#include <gtest/gtest.h>
#include <json/value.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ZorpProcess.h"
#include "cloud/CRequestContext.h"
#include "cloud/CloudFileEntry.h"
#include "core/DBWrapper.h"
#include "link/LinkProtocol.h"
#include "support/CloudServer.h"
#include "support/CloudTree.h"
#include "support/ContentHash.h"
#include "support/TempDir.h"

namespace zorp::test {

namespace fs = std::filesystem;
using LinkProtocol::In;
using LinkProtocol::Out;

class UploadE2EFixture : public testing::Test {
protected:
    using Clock = std::chrono::steady_clock;

    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.Error();
        // The test's own requests (listings, downloads) go to the same server.
        server.UseForOptions();
        for (const char* dir : {"data", "cache", "config/zorp", "runtime"}) {
            fs::create_directories(home / dir);
        }
        fs::permissions(home / "runtime", fs::perms::owner_all);
        WriteFile(home / "config" / "zorp" / "appConfig",
                  "{\"host\": \"" + server.WebHost() + "\"}\n");
    }

    // A zorp with the test's user folders (the same for every start of a test, so a restart
    // finds what the previous run stored), connected to the page. As root, `unprivileged` runs
    // it as "nobody", for whom file permissions count.
    std::unique_ptr<ZorpProcess> StartZorp(bool unprivileged = false) {
        auto zorp = std::make_unique<ZorpProcess>();
        const fs::path output = m_dir / ("run" + std::to_string(++m_runs));
        m_output = output;
        if (unprivileged && geteuid() == 0) {
            constexpr uid_t kNobody = 65534;
            fs::create_directories(output);
            fs::permissions(m_dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                              fs::perms::group_exec | fs::perms::others_read |
                                              fs::perms::others_exec);
            for (const fs::path& dir : {home, output}) {
                EXPECT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
                for (const auto& entry : fs::recursive_directory_iterator(dir)) {
                    EXPECT_EQ(lchown(entry.path().c_str(), kNobody, kNobody), 0);
                }
            }
            zorp->RunAsUser(kNobody, kNobody);
        }
        zorp->SetEnv("XDG_DATA_HOME", (home / "data").string());
        zorp->SetEnv("XDG_CACHE_HOME", (home / "cache").string());
        zorp->SetEnv("XDG_CONFIG_HOME", (home / "config").string());
        zorp->SetEnv("XDG_RUNTIME_DIR", (home / "runtime").string());
        zorp->SetEnv("HOME", home.string());
        if (!zorp->Start(output)) {
            ADD_FAILURE() << "zorp did not start";
            return zorp;
        }
        EXPECT_TRUE(zorp->ConnectPage()) << zorp->Stderr();
        return zorp;
    }

    static void RequestUpload(ZorpProcess& zorp, const std::vector<fs::path>& paths, int64_t pid) {
        ASSERT_TRUE(zorp.Page().Send(LinkTestPage::UploadRequest(paths, pid)));
    }

    // The next message of one of the types; every message read on the way is kept.
    std::optional<std::string> WaitForPage(ZorpProcess& zorp, std::set<Out> types,
                                           std::chrono::seconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            auto message =
                zorp.Page().NextMessage(static_cast<uint32_t>(std::max<int64_t>(left.count(), 1)));
            if (!message) {
                if (zorp.Page().IsClosed()) {
                    return std::nullopt;
                }
                continue;
            }
            seen.push_back(*message);
            auto type = LinkTestPage::TypeOf(*message);
            if (type && types.count(*type)) {
                return message;
            }
        }
        return std::nullopt;
    }

    int64_t CreateFolder(const std::string& name) {
        CRequestContext context;
        ServerReply reply = context.performRequest(
            RequestKind::kCreatePath, RequestParams().AddText("path", name).Add("pid", 0));
        return reply.Succeeded() ? reply.File()["id"].asInt64() : -2;
    }

    std::vector<CloudFileEntry> Children(int64_t folderId) {
        CRequestContext context;
        ServerReply reply =
            context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", folderId));
        std::vector<CloudFileEntry> entries;
        for (const auto& file : reply.Data()["files"]) {
            entries.push_back(CloudFileEntry::FromJson(file));
        }
        return entries;
    }

    // Whether the server's file holds exactly the local file's bytes (compared as they arrive).
    bool SameBytes(int64_t fid, const fs::path& local) {
        std::ifstream in(local, std::ios::binary);
        CRequestContext context;
        std::vector<char> expected;
        bool same = true;
        int64_t received = 0;
        CRequestContext::Hooks hooks;
        hooks.body = [&](const char* data, size_t size) {
            expected.resize(size);
            in.read(expected.data(), static_cast<std::streamsize>(size));
            if (in.gcount() != static_cast<std::streamsize>(size) ||
                std::memcmp(expected.data(), data, size) != 0) {
                same = false;
            }
            received += static_cast<int64_t>(size);
            return true;
        };
        ServerReply reply = context.performRequest(RequestKind::kDownload, RequestParams(""),
                                                   server.DownloadUrl(fid), hooks);
        return reply.result == CURLE_OK && same &&
               received == static_cast<int64_t>(fs::file_size(local));
    }

    // The request targets (path and query: fid, break point, ...) of the chunks the server got.
    std::vector<std::string> ChunkTargets() {
        std::vector<std::string> targets;
        const Json::Value reply = server.Admin("/admin/requests?action=upload");
        for (const auto& entry : reply["data"]) {
            targets.push_back(entry["target"].asString());
        }
        return targets;
    }

    int RequestCount(const std::string& action) {
        return static_cast<int>(server.RequestHeaderLines(action).size());
    }

    // The server's break point of the only file in the folder; -1 while there is none.
    int64_t ServerBreakPoint(int64_t folderId) {
        const auto entries = Children(folderId);
        return entries.size() == 1 ? entries[0].breakPoint : -1;
    }

    // Whether zorp's stored unfinished uploads (its transfer database) hold the file. Read
    // from a copy of the database and its write-ahead log, as a database of the test's own:
    // the test takes no part in the locking of a running zorp's files, so it can neither hold
    // up nor disturb zorp's writes. A copy taken in the middle of a write shows the state
    // before it or does not open; the next look sees more.
    bool UnfinishedUploadStored(const std::string& name) { return UnfinishedUploadRows(name) > 0; }
    // How many stored unfinished uploads (rows) name the file; read the same way.
    int UnfinishedUploadRows(const std::string& name) {
        return static_cast<int>(StoredRowsOf(home, m_dir.path(), DBWrapper::kTxlogDb,
                                             "SELECT id FROM undo_files WHERE name='" +
                                                 DBWrapper::EscapeText(name) + "';")
                                    .size());
    }

    // Connections the server still holds open (its side established, or closed by the peer
    // and not yet by the server). A copy of zorp killed in the middle of a chunk leaves one
    // until the server has finished with that chunk: stored it, or dropped it as cut off.
    int ServerConnections() {
        std::ifstream table("/proc/net/tcp");
        std::string line;
        std::getline(table, line);  // the column names
        int open = 0;
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const auto colon = local.find(':');
            if (colon == std::string::npos ||
                std::stoi(local.substr(colon + 1), nullptr, 16) != server.Port()) {
                continue;
            }
            open += (state == "01" || state == "08") ? 1 : 0;  // ESTABLISHED, CLOSE_WAIT
        }
        return open;
    }

    // The log file of the latest copy started (in its current folder, the output folder).
    std::string LatestLog() {
        for (const auto& entry : fs::directory_iterator(m_output)) {
            if (entry.path().filename().string().rfind("mg_log_", 0) == 0) {
                return ReadFile(entry.path());
            }
        }
        return {};
    }

    static void EndZorp(std::unique_ptr<ZorpProcess>& zorp) {
        zorp->Page().SendRequest(In::kQuit);
        auto exit = zorp->Wait(std::chrono::seconds(30));
        ASSERT_TRUE(exit) << "quit in time";
        EXPECT_FALSE(exit->signalled);
        EXPECT_EQ(exit->code, 0);
    }

    CloudServer server;
    TempDir m_dir{"zorp-e2e"};
    fs::path home = m_dir / "home";
    fs::path local = m_dir / "local";
    std::vector<std::string> seen;
    int m_runs = 0;
    fs::path m_output;
};

}  // namespace zorp::test
