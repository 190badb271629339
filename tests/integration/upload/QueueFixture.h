#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/CWriteDbMgr.h"
#include "core/DBWrapper.h"
#include "core/Options.h"
#include "core/TaskState.h"
#include "core/WindowMessages.h"
#include "integration/cloud/CloudFixture.h"
#include "platform/MessageTarget.h"
#include "support/ProcessStateTestAccess.h"
#include "support/ScopedXdgHome.h"
#include "support/TempDir.h"
#include "support/TestDatabases.h"
#include "upload/CUpldThreadMgr.h"
#include "upload/CUploaderMgr.h"
#include "upload/ComputeShaHandler.h"
#include "upload/FileBackupMgr.h"
#include "upload/IUpldQueueView.h"
#include "upload/UpldTaskInfo.h"
#include "upload/UploadQueue.h"

namespace zorp::test {

// The transfer manager as far as the queue needs one: a window on the test's loop that owns an
// upload queue, forwards the upload messages to it and records what the queue reports. After
// every end it also checks the queue's promise: while at least three uploads are left, three
// run.
class TransferWindow : public platform::MessageTarget, public IUpldQueueView {
public:
    TransferWindow() : queue(this) {}

    int64_t HandleMessage(platform::Message& message) override {
        const bool isEnd = message.id == WM_UPLD_END;
        queue.HandleMessage(message);
        if (isEnd) {
            ++ends;
            const int startable = static_cast<int>(
                std::count_if(queue.GetTaskList().begin(), queue.GetTaskList().end(),
                              [](const auto& entry) { return !entry->held; }));
            if (!queue.IsStopped() && startable >= UploadQueue::kMaxRunning &&
                queue.GetRunningCount() != UploadQueue::kMaxRunning) {
                ++endsWithoutRefill;
            }
        }
        return 0;
    }

    void OnUpldRowAdded(const UpldTaskInfo& info) override { rows[info.taskIndex] = info.name; }
    void OnUpldRowChanged(const UpldTaskInfo& info) override {
        ++rowChanges;
        if (info.state == TSE_TRANSFERRING && info.fid > 0) {
            fids[info.name] = info.fid;
        }
    }
    void OnUpldRowRemoved(int32_t taskIndex) override { rows.erase(taskIndex); }
    void OnUpldRowFinished(const UpldTaskInfo& info, bool retryable) override {
        finished[info.taskIndex] = retryable;
    }
    void OnUpldCountChanged(const Counts& counts) override {
        lastCounts = counts;
        maxRunning = std::max(maxRunning, counts.running);
        maxRows = std::max(maxRows, rows.size());
    }
    void OnCapacityWarning() override { ++capacityWarnings; }

    UploadQueue queue;
    std::map<int32_t, std::string> rows;  // the rows a window would draw, by task index
    std::map<std::string, int64_t> fids;  // cloud ids the rows learnt, by name
    std::map<int32_t, bool> finished;     // finished rows by task index: retry offered
    Counts lastCounts;
    int maxRunning = 0;
    size_t maxRows = 0;
    int rowChanges = 0;
    int ends = 0;
    int endsWithoutRefill = 0;
    int capacityWarnings = 0;
};

// A zorp-cloud of the test's own, fresh user databases, the upload pool and a write queue
// running, and a transfer window on the test's loop. The recorder stands in for the drop
// window (WM_UPLD_ALL_DONE, WM_TX_REFRESH, network errors).
class QueueFixture : public CloudFixture {
protected:
    QueueFixture() = default;
    explicit QueueFixture(CloudServer::Config config) : CloudFixture(std::move(config)) {}

    void SetUp() override {
        CloudFixture::SetUp();
        COptions& options = COptions::GetInstance();
        ASSERT_TRUE(zorp::test::LoadOptionsForUser(1));
        options.m_hDndWnd = notifyWindow;
        options.m_speedLimitKiB = 0;
        options.m_retryCount = 5;
        ProcessStateTestAccess::SetWorkState(WorkState::kWsIdle);
        ProcessStateTestAccess::SetTxState(TxState::kNone);
        FileBackupMgr::GetInstance().reset();
        writeQueue.SetUserDataDir(home.userDataDir());
        writeQueue.SetRetryPauseMs(50);
        ASSERT_TRUE(writeQueue.Start());
        ASSERT_TRUE(CUpldThreadMgr::GetInstance().Start());
        AttachWindow();
    }

    void TearDown() override {
        window.reset();
        CUpldThreadMgr::GetInstance().Stop();
        writeQueue.Stop();
        FileBackupMgr::GetInstance().reset();
        COptions& options = COptions::GetInstance();
        options.m_hDndWnd = platform::kNoWindow;
        options.SetWorkFolderMounts(std::nullopt);
    }

    // A fresh transfer window (as after a restart of the program).
    void AttachWindow() {
        window = std::make_unique<TransferWindow>();
        window->queue.SetWindow(window->Attach());
        window->queue.SetWriteQueue(&writeQueue);
    }

    // A local file of `size` bytes, hashed, as a waiting record for the cloud folder `pid`.
    UpldWaitingFile MakeRecord(const std::string& name, size_t size, int64_t pid = 0) {
        const auto path = local.path() / name;
        WriteFile(path, TestBytes(size, static_cast<uint32_t>(std::hash<std::string>()(name))));
        UpldWaitingFile record;
        record.path = path;
        record.pid = pid;
        record.batchTarget = pid;
        ComputeShaHandler::GenerateQuorvaFileHash(path, record.hash, record.size, nullptr);
        return record;
    }

    // Hands the records to the backup file list as the comparison does and counts them in.
    void Offer(const std::vector<UpldWaitingFile>& records) {
        FileBackupMgr& list = FileBackupMgr::GetInstance();
        list.addFileCount(static_cast<int>(records.size()));
        for (const auto& record : records) {
            list.addUploadRecord(record);
        }
    }

    // Slows every chunk (and registration) down so that the queue can be watched at work.
    void SlowUploads(int ms) {
        ASSERT_TRUE(
            server.SetFault("upload", "delay", {{"ms", std::to_string(ms)}, {"count", "1000"}}));
        ASSERT_TRUE(server.SetFault("uploadInit", "delay",
                                    {{"ms", std::to_string(ms / 2)}, {"count", "1000"}}));
    }

    bool RunUntil(const std::function<bool()>& done, uint32_t ms = 60000) {
        return loop.RunUntil(done, ms);
    }

    const UpldTaskInfo* Entry(size_t position) const {
        const auto& list = window->queue.GetTaskList();
        return position < list.size() ? list[position].get() : nullptr;
    }

    // The rows of a database of the user data folder.
    std::vector<std::vector<std::string>> Query(const char* dbName, const std::string& sql) {
        writeQueue.WriteAllBatches();
        EXPECT_TRUE(writeQueue.Flush(30000));
        DBWrapper db(home.userDataDir() / dbName);
        if (!db.open() || !db.query(sql)) {
            ADD_FAILURE() << db.errorText() << ": " << sql;
            return {};
        }
        auto rows = db.rows();
        db.close();
        return rows;
    }

    // The (fid, break point) of every chunk request the server received, in order.
    std::vector<std::pair<int64_t, int64_t>> ChunkRequests() {
        std::vector<std::pair<int64_t, int64_t>> chunks;
        for (const auto& lines : server.RequestHeaderLines("upload")) {
            if (!lines.empty()) {
                chunks.emplace_back(Number(lines[0], "&fid="), Number(lines[0], "&breakPoint="));
            }
        }
        return chunks;
    }
    static int64_t Number(const std::string& line, const std::string& key) {
        const auto at = line.find(key);
        return at == std::string::npos ? -1 : std::stoll(line.substr(at + key.size()));
    }

    // The server's record of a file (null when it has none).
    Json::Value ServerFile(int64_t fid) {
        CRequestContext context;
        return context.performRequest(RequestKind::kGetFile, RequestParams().Add("fid", fid))
            .File();
    }

    ScopedXdgHome home;
    TempDir local{"zorp-queue"};
    CWriteDbMgr writeQueue{1, 1};
    std::unique_ptr<TransferWindow> window;
};

}  // namespace zorp::test
