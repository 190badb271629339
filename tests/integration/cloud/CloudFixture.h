#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "cloud/CRequestContext.h"
#include "cloud/CloudApi.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "support/CloudServer.h"
#include "support/ContentHash.h"
#include "support/WaitFor.h"

namespace zorp::test {

// Records the window messages that requests post (network error, network OK).
class NotifyRecorder : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ids.push_back(message.id);
        return 0;
    }
    size_t Count(uint32_t id) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<size_t>(std::count(m_ids.begin(), m_ids.end(), id));
    }

private:
    std::mutex m_mutex;
    std::vector<uint32_t> m_ids;
};

// A zorp-cloud of the test's own with the options pointed at it and a session cookie set.
class CloudFixture : public ::testing::Test {
protected:
    static constexpr const char* kSession = "s3ss10n";
    static constexpr size_t kChunk = 131072;

    CloudFixture() : server(SessionConfig()) {}
    explicit CloudFixture(CloudServer::Config config) : server(std::move(config)) {}
    static CloudServer::Config SessionConfig() {
        CloudServer::Config config;
        config.session = kSession;
        return config;
    }

    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.Error();
        server.UseForOptions();
        COptions& options = COptions::GetInstance();
        options.ClearCookies();
        options.AddCookie("QSESSIONID", kSession);
        options.AddCookie("cookieUserAccount", "tester");
        options.RebuildCookieStrings();
        notifyWindow = recorder.Attach();
    }

    // Uploads `data` as "name" into folder `pid` through `context`, chunk by chunk from the
    // server's break point; returns the reply of the last request.
    ServerReply Upload(CRequestContext& context, const std::string& name, const std::string& data,
                       int64_t pid = 0, const std::string& hash = std::string()) {
        const std::string claimed = hash.empty() ? ContentHash(data) : hash;
        ServerReply reply = context.performRequest(
            RequestKind::kUploadInit, RequestParams()
                                          .Add("pid", pid)
                                          .AddText("name", name)
                                          .Add("size", static_cast<int64_t>(data.size())));
        if (!reply.Succeeded() || reply.File()["status"].asInt() == 1) {
            return reply;
        }
        const int64_t fid = reply.File()["id"].asInt64();
        int64_t breakPoint = reply.File()["breakPoint"].asInt64();
        while (breakPoint < static_cast<int64_t>(data.size())) {
            const size_t size = std::min(kChunk, data.size() - static_cast<size_t>(breakPoint));
            reply = context.performUpload(ChunkParams(fid, breakPoint, claimed, data.size()), name,
                                          data.data() + breakPoint, size);
            if (!reply.Succeeded() || reply.File()["status"].asInt() == 1) {
                return reply;
            }
            breakPoint = reply.File()["breakPoint"].asInt64();
        }
        return reply;
    }

    static RequestParams ChunkParams(int64_t fid, int64_t breakPoint, const std::string& hash,
                                     size_t size) {
        return RequestParams()
            .Add("fid", fid)
            .Add("breakPoint", breakPoint)
            .AddText("hash", hash)
            .Add("size", static_cast<int64_t>(size));
    }

    // The whole content of a file through the download action ("" with a failure noted).
    std::string Download(int64_t fid, int64_t breakPoint = 0, ServerReply* outcome = nullptr) {
        CRequestContext context;
        std::string body;
        CRequestContext::Hooks hooks;
        hooks.body = [&](const char* data, size_t size) {
            body.append(data, size);
            return true;
        };
        std::string url = server.DownloadUrl(fid);
        if (breakPoint > 0) {
            url += "&breakPoint=" + std::to_string(breakPoint);
        }
        ServerReply reply =
            context.performRequest(RequestKind::kDownload, RequestParams(""), url, hooks);
        if (outcome) {
            *outcome = reply;
        }
        return body;
    }

    int64_t CreateFolder(CRequestContext& context, const std::string& path, int64_t pid = 0) {
        ServerReply reply = context.performRequest(
            RequestKind::kCreatePath, RequestParams().AddText("path", path).Add("pid", pid));
        return reply.Succeeded() ? reply.File()["id"].asInt64() : -2;
    }

    platform::PlainMessageLoop loop;
    NotifyRecorder recorder;
    platform::WindowHandle notifyWindow = platform::kNoWindow;
    CloudServer server;
};

}  // namespace zorp::test
