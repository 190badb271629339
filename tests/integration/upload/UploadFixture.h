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
#include "integration/cloud/CloudFixture.h"
#include "platform/MessageTarget.h"
#include "support/TempDir.h"
#include "upload/CUpldThreadMgr.h"
#include "upload/CUploaderMgr.h"
#include "upload/ComputeShaHandler.h"
#include "upload/UpldEndInfo.h"
#include "upload/UpldFileIdInfo.h"
#include "upload/UpldProgressInfo.h"
#include "upload/UpldStatusInfo.h"

namespace zorp::test {

// The transfer manager window as the upload tasks see it: every message they post or send,
// with copies of the records.
class TaskWindow : public platform::MessageTarget {
public:
    struct End {
        UpldEndInfo end;
        UpldStatusInfo status;
    };

    int64_t HandleMessage(platform::Message& message) override {
        switch (message.id) {
            case WM_UPLD_STATUS:
                if (auto* status = message.L<UpldStatusInfo>()) {
                    statuses[static_cast<int32_t>(message.wValue)].push_back(*status);
                }
                break;
            case WM_UPLD_PROGRESS:
                if (auto* progress = message.W<UpldProgressInfo>()) {
                    this->progress[progress->taskIndex].push_back(*progress);
                }
                break;
            case WM_UPLD_INFO:
                if (auto* info = message.W<UpldFileIdInfo>()) {
                    infos[info->taskIndex].push_back(*info);
                }
                break;
            case WM_UPLD_END:
                if (message.W<UpldEndInfo>() && message.L<UpldStatusInfo>()) {
                    ends[message.W<UpldEndInfo>()->taskIndex].push_back(
                        End{*message.W<UpldEndInfo>(), *message.L<UpldStatusInfo>()});
                }
                break;
            default:
                break;
        }
        return 0;
    }

    std::map<int32_t, std::vector<UpldStatusInfo>> statuses;
    std::map<int32_t, std::vector<UpldProgressInfo>> progress;
    std::map<int32_t, std::vector<UpldFileIdInfo>> infos;
    std::map<int32_t, std::vector<End>> ends;
};

// A zorp-cloud of the test's own, the upload pool running, a folder for the local files, and
// the windows that receive the tasks' messages (the task window) and network errors (the
// options' drop window).
class UploadFixture : public CloudFixture {
protected:
    void SetUp() override {
        CloudFixture::SetUp();
        COptions& options = COptions::GetInstance();
        options.m_hDndWnd = notifyWindow;
        options.m_speedLimitKiB = 0;
        options.m_retryCount = 5;
        taskWindowHandle = taskWindow.Attach();
        ASSERT_TRUE(CUpldThreadMgr::GetInstance().Start());
    }

    void TearDown() override {
        CUpldThreadMgr::GetInstance().Stop();
        COptions::GetInstance().m_speedLimitKiB = 0;
        COptions::GetInstance().m_hDndWnd = platform::kNoWindow;
    }

    // A file of `data` in the local folder and the parameters of its upload task.
    CUploadParam MakeFile(const std::string& name, const std::string& data, int64_t pid = 0) {
        const auto path = local / name;
        WriteFile(path, data);
        return ParamFor(path, pid);
    }

    CUploadParam ParamFor(const std::filesystem::path& path, int64_t pid = 0) {
        CUploadParam param;
        param.taskIndex = ++m_lastTaskIndex;
        param.window = taskWindowHandle;
        param.folder = path.parent_path();
        param.name = path.filename().string();
        param.pid = pid;
        ComputeShaHandler::GenerateQuorvaFileHash(path, param.hash, param.fileSize, nullptr);
        return param;
    }

    std::shared_ptr<CUploaderMgr> StartTask(const CUploadParam& param) {
        auto task = CUploaderMgr::Create(param);
        EXPECT_EQ(task->Start(), 0);
        return task;
    }

    // Runs the window's loop until the task's end message arrives.
    std::optional<TaskWindow::End> WaitEnd(int32_t taskIndex, uint32_t ms = 30000) {
        loop.RunUntil([&] { return !taskWindow.ends[taskIndex].empty(); }, ms);
        auto& ends = taskWindow.ends[taskIndex];
        if (ends.empty()) {
            return std::nullopt;
        }
        return ends.back();
    }

    // Runs the loop until the task is in one of the end states (a stopped task posts no end).
    bool WaitState(const std::shared_ptr<CUploaderMgr>& task, int32_t state, uint32_t ms = 30000) {
        return loop.RunUntil([&] { return task->GetState() == state; }, ms);
    }

    // Uploads through a task and waits for its end; the end record.
    std::optional<TaskWindow::End> UploadFile(const CUploadParam& param) {
        auto task = StartTask(param);
        return WaitEnd(param.taskIndex);
    }

    // The break points of the chunk requests the server received, in order.
    std::vector<int64_t> ChunkBreakPoints() {
        std::vector<int64_t> points;
        for (const auto& lines : server.RequestHeaderLines("upload")) {
            if (lines.empty()) {
                continue;
            }
            const auto at = lines[0].find("&breakPoint=");
            points.push_back(
                at == std::string::npos
                    ? -1
                    : std::stoll(lines[0].substr(at + std::string("&breakPoint=").size())));
        }
        return points;
    }
    size_t RequestCount(const std::string& action) {
        return server.RequestHeaderLines(action).size();
    }

    // The server's record of a file (null when it has none).
    Json::Value ServerFile(int64_t fid) {
        CRequestContext context;
        return context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid))
            .File();
    }

    TempDir local{"zorp-upload"};
    TaskWindow taskWindow;
    platform::WindowHandle taskWindowHandle = platform::kNoWindow;

private:
    int32_t m_lastTaskIndex = 0;
};

}  // namespace zorp::test
