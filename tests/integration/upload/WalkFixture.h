#pragma once

#include <set>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cloud/CloudFileEntry.h"
#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/Options.h"
#include "integration/cloud/CloudFixture.h"
#include "support/ScopedXdgHome.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"
#include "core/WindowMessages.h"
#include "upload/ComputeShaHandler.h"
#include "upload/FileBackupMgr.h"

namespace zorp::test {

// The window of the walk and the comparison: keeps every message it receives with its plain
// value and its text record (the failed folder's name) or path list (what a walk did not send).
class WalkWindow : public platform::MessageTarget {
public:
    struct Seen {
        uint32_t id;
        int64_t lValue;
        std::string text;
        std::vector<std::filesystem::path> paths;
    };
    int64_t HandleMessage(platform::Message& message) override {
        const std::string* text = message.W<std::string>();
        const auto* paths = message.W<std::vector<std::filesystem::path>>();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.push_back(Seen{message.id, message.lValue, text ? *text : std::string(),
                              paths ? *paths : std::vector<std::filesystem::path>()});
        return 0;
    }
    size_t Count(uint32_t id) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<size_t>(std::count_if(m_seen.begin(), m_seen.end(),
                                                 [&](const Seen& s) { return s.id == id; }));
    }
    // Every path the walks reported as not sent.
    std::set<std::filesystem::path> Unsent() {
        std::set<std::filesystem::path> unsent;
        for (const Seen& seen : Of(WM_TRAVEL_SKIPPED)) {
            unsent.insert(seen.paths.begin(), seen.paths.end());
        }
        return unsent;
    }
    std::vector<Seen> Of(uint32_t id) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Seen> found;
        std::copy_if(m_seen.begin(), m_seen.end(), std::back_inserter(found),
                     [&](const Seen& s) { return s.id == id; });
        return found;
    }

private:
    std::mutex m_mutex;
    std::vector<Seen> m_seen;
};

// A zorp-cloud with a fresh "Target" folder as the batch target, fresh databases, the backup
// file list emptied, and a local folder for the files.
class WalkFixture : public CloudFixture {
protected:
    void SetUp() override {
        CloudFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(3));
        list.reset();
        window = uploadWindow.Attach();
        CRequestContext context;
        targetId = CreateFolder(context, "Target");
        ASSERT_GT(targetId, 0);
        list.setBatchTarget(targetId, 0);
    }
    void TearDown() override {
        list.reset();
        COptions::GetInstance().SetWorkFolderMounts(std::nullopt);
    }

    static std::string Hash(const std::filesystem::path& path) {
        std::string hash;
        int64_t size = 0;
        ComputeShaHandler::GenerateQuorvaFileHash(path, hash, size, nullptr);
        return hash;
    }

    // The server's entries of a folder by name.
    std::map<std::string, CloudFileEntry> Children(int64_t folderId) {
        CRequestContext context;
        ServerReply reply =
            context.performRequest(RequestKind::kGetSubFiles, RequestParams().Add("pid", folderId));
        std::map<std::string, CloudFileEntry> children;
        for (const auto& file : reply.Data()["files"]) {
            CloudFileEntry entry = CloudFileEntry::FromJson(file);
            children[entry.name] = entry;
        }
        return children;
    }

    // The id of a folder below Target ("Drop/sub"), -2 when it does not exist.
    int64_t FolderId(const std::string& relative) {
        int64_t id = targetId;
        size_t at = 0;
        while (at < relative.size()) {
            size_t end = relative.find('/', at);
            if (end == std::string::npos) {
                end = relative.size();
            }
            auto children = Children(id);
            auto it = children.find(relative.substr(at, end - at));
            if (it == children.end() || !it->second.IsFolder()) {
                return FileBackupMgr::kUnknownFolder;
            }
            id = it->second.id;
            at = end + 1;
        }
        return id;
    }

    // Puts `content` on the server as Target/<relative>; returns its id.
    int64_t Put(const std::string& relative, const std::string& content) {
        CRequestContext context;
        const size_t slash = relative.rfind('/');
        int64_t folder = targetId;
        if (slash != std::string::npos) {
            folder = CreateFolder(context, relative.substr(0, slash), targetId);
        }
        const std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
        ServerReply reply = Upload(context, name, content, folder);
        EXPECT_TRUE(reply.Succeeded()) << reply.text;
        return reply.File()["id"].asInt64();
    }

    ScopedXdgHome home;
    TempDir local;
    WalkWindow uploadWindow;
    platform::WindowHandle window = platform::kNoWindow;
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    int64_t targetId = 0;
};

}  // namespace zorp::test
