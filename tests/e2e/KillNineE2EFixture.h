#pragma once

// What the kill -9 tests share: the upload fixture's zorp, page and server, a seeded schedule
// of kill moments, the kill itself with the checks that follow every one (the server has let
// go of the dead copy's connections, every database zorp keeps passes PRAGMA integrity_check)
// and the count of what the server received more than once.
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "KillSchedule.h"
#include "UploadE2EFixture.h"
#include "support/FileDigest.h"
#include "support/TestDatabases.h"
#include "support/WaitFor.h"

namespace zorp::test {

class KillNineE2EFixture : public UploadE2EFixture {
protected:
    // The size of a chunk zorp sends; one per running transfer may be cut off by a kill.
    static constexpr int64_t kChunkBytes = 131072;

    struct Fault {
        std::string action;
        std::string kind;
        std::map<std::string, std::string> values;
    };

    // One chunk the server received: which file, which content, where in it, how long.
    struct Chunk {
        int64_t fid = 0;
        std::string hash;
        int64_t breakPoint = 0;
        int64_t size = 0;  // the file's size
    };

    fs::path UserDataDir() const { return home / "data" / "Quorva" / "User Data"; }

    // The faults the server keeps through the test (set again after the request log is read).
    void SetFaults(std::vector<Fault> faults) {
        m_faults = std::move(faults);
        ApplyFaults();
    }
    void ApplyFaults() {
        for (const Fault& fault : m_faults) {
            auto values = fault.values;
            values.emplace("ttl", "600");
            ASSERT_TRUE(server.SetFault(fault.action, fault.kind, values));
        }
    }

    // A zorp with the test's folders that no page has connected to yet: a kill now lands in
    // its start-up.
    std::unique_ptr<ZorpProcess> LaunchZorp() {
        auto zorp = std::make_unique<ZorpProcess>();
        m_output = m_dir / ("run" + std::to_string(++m_runs));
        zorp->SetEnv("XDG_DATA_HOME", (home / "data").string());
        zorp->SetEnv("XDG_CACHE_HOME", (home / "cache").string());
        zorp->SetEnv("XDG_CONFIG_HOME", (home / "config").string());
        zorp->SetEnv("XDG_RUNTIME_DIR", (home / "runtime").string());
        zorp->SetEnv("HOME", home.string());
        for (const auto& [name, value] : m_extraEnv) {
            if (value.empty()) {
                zorp->UnsetEnv(name);
            } else {
                zorp->SetEnv(name, value);
            }
        }
        EXPECT_TRUE(zorp->Start(m_output));
        return zorp;
    }

    // The restart after a kill, as the page does it: zorp started, the page connects. Now and
    // then the next kill comes before the page, in the start-up itself.
    std::unique_ptr<ZorpProcess> Restart(KillSchedule& schedule, bool* killedInStartUp) {
        *killedInStartUp = schedule.Chance(15);
        const auto moment = schedule.Moment(0, 150);
        for (int attempt = 0;; ++attempt) {
            auto zorp = LaunchZorp();
            if (*killedInStartUp) {
                AwaitMoment(moment);
            }
            // (In the start-up a quick look only: the kill is to come at its moment.)
            if (*killedInStartUp ? !LostLinkPort(*zorp, std::chrono::milliseconds(1))
                                 : zorp->ConnectPage()) {
                return zorp;
            }
            if (attempt == 2 || !LostLinkPort(*zorp, std::chrono::milliseconds(500))) {
                ADD_FAILURE() << "the page cannot connect: " << zorp->Stderr();
                return zorp;
            }
        }
    }

    // Whether the copy ended at once because its link port, free when the test chose it, was
    // taken in the meantime (by an outgoing connection of the machine, say): no fault of
    // zorp's, the test starts another copy on another port.
    static bool LostLinkPort(ZorpProcess& zorp, std::chrono::milliseconds wait) {
        auto exit = zorp.Wait(wait);
        return exit && !exit->signalled && exit->code != 0 &&
               zorp.Stderr().find("cannot listen for the web page") != std::string::npos;
    }

    // The time until a kill: the one wait of these tests that is not for an outcome, since the
    // moment itself is what the schedule draws.
    static void AwaitMoment(std::chrono::milliseconds moment) {
        std::this_thread::sleep_for(moment);
    }

    // The copy is killed at once; then the server lets go of its connections (a chunk cut off
    // is dropped, one that had arrived whole is stored) and every database is checked.
    void Kill(std::unique_ptr<ZorpProcess>& zorp, KillSchedule& schedule) {
        zorp->Signal(SIGKILL);
        auto exit = zorp->Wait(std::chrono::seconds(10));
        ASSERT_TRUE(exit);
        // (A copy whose link port was taken before it could bind it ends at once, see
        // LostLinkPort: no fault of zorp's.)
        const bool portLost =
            !exit->signalled &&
            zorp->Stderr().find("cannot listen for the web page") != std::string::npos;
        EXPECT_TRUE(exit->signalled || portLost) << "zorp ended by itself before the kill (code "
                                                 << exit->code << "): " << zorp->Stderr();
        ASSERT_TRUE(WaitFor([&] { return ServerConnections() == 0; }, std::chrono::seconds(10)))
            << "the server lets go of the killed copy's connections";
        CheckDatabases(schedule);
        schedule.Survived();
    }

    // Every database zorp keeps: the files of its database folder (their logs apart).
    std::vector<fs::path> Databases() const {
        std::vector<fs::path> databases;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(UserDataDir() / "zor", ec)) {
            const std::string name = entry.path().filename().string();
            static const std::regex kCompanion(".*-(wal|shm|journal)$");
            if (entry.is_regular_file() && !std::regex_match(name, kCompanion)) {
                databases.push_back(entry.path());
            }
        }
        return databases;
    }

    // PRAGMA integrity_check of each database as the next start would open it (the file and
    // its write-ahead log, copied, so that the check itself changes nothing zorp finds).
    void CheckDatabases(KillSchedule& schedule) {
        const auto databases = Databases();
        EXPECT_GE(databases.size(), 3u) << "configuration, transfers, history";
        for (const fs::path& live : databases) {
            const fs::path copy = m_dir / "integrity" / live.filename();
            std::error_code ec;
            fs::remove_all(copy.parent_path(), ec);
            fs::create_directories(copy.parent_path(), ec);
            ASSERT_TRUE(fs::copy_file(live, copy, ec)) << live << ": " << ec.message();
            fs::copy_file(fs::path(live.string() + "-wal"), fs::path(copy.string() + "-wal"), ec);
            DBWrapper db(copy);
            std::string result = "does not open";
            if (db.open() && db.query("PRAGMA integrity_check;") && !db.rows().empty() &&
                !db.rows()[0].empty()) {
                result = db.rows()[0][0];
            }
            schedule.AddIntegrity(live.filename().string(), result);
            EXPECT_EQ(result, "ok") << live;
        }
    }

    // What zorp's stored tables say, read from a copy (see UnfinishedUploadRows).
    Rows StoredRows(const char* db, const std::string& sql) {
        return StoredRowsOf(home, m_dir.path(), db, sql);
    }

    // The chunks the server logged since the last call; the log is then emptied (and the
    // faults set again), so that it never overflows in a long run.
    std::vector<Chunk> TakeChunks() {
        std::vector<Chunk> chunks;
        static const std::regex kFid("[?&]fid=([0-9]+)");
        static const std::regex kBreakPoint("[?&]breakPoint=([0-9]+)");
        static const std::regex kHash("[?&]hash=([0-9a-zA-Z%]+)");
        static const std::regex kSize("[?&]size=([0-9]+)");
        for (const std::string& target : ChunkTargets()) {
            std::smatch fid, breakPoint, hash, size;
            if (!std::regex_search(target, fid, kFid) ||
                !std::regex_search(target, breakPoint, kBreakPoint) ||
                !std::regex_search(target, hash, kHash) ||
                !std::regex_search(target, size, kSize)) {
                ADD_FAILURE() << "a chunk without its place: " << target;
                continue;
            }
            chunks.push_back(
                {std::stoll(fid[1]), hash[1], std::stoll(breakPoint[1]), std::stoll(size[1])});
        }
        EXPECT_TRUE(server.ClearFaults());
        ApplyFaults();
        return chunks;
    }

    // Bytes of the chunks that reached the server more than once (the same content at the same
    // place of the same file).
    static int64_t ResentChunkBytes(const std::vector<Chunk>& chunks) {
        std::map<std::tuple<int64_t, std::string, int64_t>, int> seen;
        int64_t resent = 0;
        for (const Chunk& chunk : chunks) {
            if (seen[{chunk.fid, chunk.hash, chunk.breakPoint}]++ > 0) {
                resent += std::min(kChunkBytes, chunk.size - chunk.breakPoint);
            }
        }
        return resent;
    }

    // Whether every file below the cloud folder is complete and there are `files` of them.
    bool AllComplete(int64_t folderId, size_t files) {
        size_t complete = 0;
        bool whole = true;
        std::vector<int64_t> folders{folderId};
        while (!folders.empty()) {
            const int64_t folder = folders.back();
            folders.pop_back();
            for (const CloudFileEntry& entry : Children(folder)) {
                if (entry.type == CloudFileEntry::kTypeFolder) {
                    folders.push_back(entry.id);
                } else if (entry.IsComplete()) {
                    ++complete;
                } else {
                    whole = false;
                }
            }
        }
        return whole && complete == files;
    }

    // The tree of a cloud folder that received the drop of `folder` (and nothing else) against
    // the local tree, as whole-file SHA-256 digests.
    void ExpectSameDigests(int64_t folderId, const fs::path& folder) {
        const std::string prefix = folder.filename().string() + "/";
        const Tree cloud = ServerTree(server, folderId);
        const Tree expected = LocalTree(folder, prefix);
        std::vector<std::string> cloudNames, localNames;
        for (const auto& [name, content] : cloud) {
            cloudNames.push_back(name);
        }
        for (const auto& [name, content] : expected) {
            localNames.push_back(name);
        }
        EXPECT_EQ(cloudNames, localNames) << "nothing lost, nothing twice";
        for (const auto& [name, content] : expected) {
            if (name.empty() || name.back() == '/') {
                continue;
            }
            auto it = cloud.find(name);
            if (it == cloud.end()) {
                continue;
            }
            const fs::path file = folder / fs::path(name.substr(prefix.size()));
            EXPECT_EQ(Sha256Hex(it->second), Sha256OfFile(file)) << name;
        }
    }

    void Report(const KillSchedule& schedule) {
        const std::string summary = schedule.Summary();
        std::cout << summary << std::endl;
        RecordProperty("kill_figures", summary);
    }

    std::vector<Fault> m_faults;
    // More of the environment of every copy LaunchZorp starts (an empty value unsets).
    std::map<std::string, std::string> m_extraEnv;
};

}  // namespace zorp::test
