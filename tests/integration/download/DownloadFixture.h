#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Options.h"
#include "core/TaskState.h"
#include "core/WindowMessages.h"
#include "download/CDnldThreadMgr.h"
#include "download/CDownloaderMgr.h"
#include "download/DownloadCache.h"
#include "download/DownloadEndInfo.h"
#include "download/DownloadProgressInfo.h"
#include "download/DownloadStatus.h"
#include "integration/cloud/CloudFixture.h"
#include "platform/MessageTarget.h"
#include "support/ScopedXdgHome.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"

namespace zorp::test {

// The transfer manager window as download tasks see it: every message they send or post, with
// copies of the records.
class DownloadTaskWindow : public platform::MessageTarget {
public:
    struct End {
        DownloadEndInfo end;
        DownloadStatus status;
    };

    int64_t HandleMessage(platform::Message& message) override {
        switch (message.id) {
            case WM_DNLD_STATUS:
                if (auto* status = message.L<DownloadStatus>()) {
                    statuses[static_cast<int32_t>(message.wValue)].push_back(*status);
                }
                break;
            case WM_DNLD_PROGRESS:
                if (auto* record = message.W<DownloadProgressInfo>()) {
                    progress[record->taskId].push_back(*record);
                }
                break;
            case WM_DNLD_END:
            case WM_LOCALEDIT_DNLD_END:
                if (message.W<DownloadEndInfo>() && message.L<DownloadStatus>()) {
                    ends[message.W<DownloadEndInfo>()->taskId].push_back(
                        End{*message.W<DownloadEndInfo>(), *message.L<DownloadStatus>()});
                }
                break;
            default:
                break;
        }
        return 0;
    }

    std::map<int32_t, std::vector<DownloadStatus>> statuses;
    std::map<int32_t, std::vector<DownloadProgressInfo>> progress;
    std::map<int32_t, std::vector<End>> ends;
};

// A zorp-cloud of the test's own, the options loaded for a user of the test (so the work
// folder, and with it the cache folders, are the test's), the download pool running, a local
// folder for the delivered files, and the window that receives the tasks' messages.
class DownloadFixture : public CloudFixture {
protected:
    ScopedXdgHome xdgHome;

    void SetUp() override {
        CloudFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(LoadOptionsForUser(5));
        COptions& options = COptions::GetInstance();
        options.m_hDndWnd = notifyWindow;
        options.m_speedLimitKiB = 0;
        options.m_retryCount = 5;
        options.m_keepDownloadCache = false;
        taskWindowHandle = taskWindow.Attach();
        ASSERT_TRUE(CDnldThreadMgr::GetInstance().Start());
    }

    void TearDown() override {
        CDnldThreadMgr::GetInstance().Stop();
        COptions& options = COptions::GetInstance();
        options.m_retryCount = 5;
        options.m_hDndWnd = platform::kNoWindow;
        options.SetWorkFolderMounts(std::nullopt);
        server.Stop(true);
    }

    // A complete file planted on the server, its content read back, and the request log
    // cleared so that a test sees only its own requests.
    struct CloudFile {
        int64_t fid = 0;
        std::string hash;
        std::string content;
    };
    CloudFile Plant(const std::string& name, int64_t size, uint32_t seed = 1) {
        Json::Value file = server.Plant(name, size, 0, "random", seed);
        CloudFile planted;
        planted.fid = file["id"].asInt64();
        planted.hash = file["hash"].asString();
        planted.content = Download(planted.fid);
        EXPECT_EQ(static_cast<int64_t>(planted.content.size()), size);
        server.ClearFaults();
        return planted;
    }

    CDownloadParam Param(const CloudFile& file, const std::string& name, int64_t size,
                         bool withHash = false) {
        CDownloadParam param;
        param.url = server.DownloadUrl(file.fid);
        param.taskId = ++m_lastTaskId;
        param.window = taskWindowHandle;
        param.size = size;
        param.name = name;
        param.folder = local.path();
        param.fid = file.fid;
        if (withHash) {
            param.hash = file.hash;
        }
        return param;
    }

    std::shared_ptr<CDownloaderMgr> StartTask(const CDownloadParam& param) {
        auto task = CDownloaderMgr::Create(param);
        EXPECT_EQ(task->Start(), 0);
        return task;
    }

    std::optional<DownloadTaskWindow::End> WaitEnd(int32_t taskId, size_t count = 1,
                                                   uint32_t ms = 60000) {
        loop.RunUntil([&] { return taskWindow.ends[taskId].size() >= count; }, ms);
        auto& ends = taskWindow.ends[taskId];
        if (ends.size() < count) {
            return std::nullopt;
        }
        return ends[count - 1];
    }

    // The task's cache file (DownloadCache's naming).
    std::filesystem::path CacheFile(const CDownloadParam& param) const {
        return DownloadCache(DownloadCache::FolderFor(COptions::GetInstance().GetWorkDir(),
                                                      param.name, param.url),
                             param.name)
            .File();
    }
    int64_t CacheSize(const CDownloadParam& param) const {
        std::error_code error;
        const auto size = std::filesystem::file_size(CacheFile(param), error);
        return error ? -1 : static_cast<int64_t>(size);
    }

    std::vector<int64_t> BreakPoints() { return server.DownloadBreakPoints(); }
    size_t HeadCount() { return server.ProbeCount(); }

    TempDir local{"zorp-download"};
    DownloadTaskWindow taskWindow;
    platform::WindowHandle taskWindowHandle = platform::kNoWindow;

private:
    int32_t m_lastTaskId = 0;
};

}  // namespace zorp::test
