#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Logging.h"
#include "core/MultiLanguage.h"
#include "core/TaskState.h"
#include "core/WindowMessages.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "support/TempDir.h"
#include "upload/CEasyUploader.h"
#include "upload/CUpldThreadMgr.h"
#include "upload/CUploaderMgr.h"
#include "upload/UpldEndInfo.h"
#include "upload/UpldStatusInfo.h"

namespace {

class TaskWindow : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (message.id == WM_UPLD_STATUS && message.L<UpldStatusInfo>()) {
            sent.push_back({message.wValue, message.L<UpldStatusInfo>()->state});
        }
        if (message.id == WM_UPLD_END && message.W<UpldEndInfo>() && message.L<UpldStatusInfo>()) {
            ends.push_back(*message.L<UpldStatusInfo>());
        }
        return 0;
    }
    std::vector<std::pair<int64_t, int32_t>> sent;  // task index, state
    std::vector<UpldStatusInfo> ends;
};

class UploaderStateTest : public testing::Test {
protected:
    void SetUp() override { window = taskWindow.Attach(); }
    void TearDown() override { CUpldThreadMgr::GetInstance().Stop(); }

    std::shared_ptr<CUploaderMgr> MakeTask(int32_t state = TSE_READY) {
        CUploadParam param;
        param.taskIndex = 7;
        param.window = window;
        param.folder = dir.path();
        param.name = "missing.bin";
        param.fileSize = 10;
        auto task = CUploaderMgr::Create(param);
        if (state != TSE_READY) {
            task->SetState(state);
        }
        return task;
    }

    static std::string Text(uint32_t id) { return CMultiLanguageMgr::GetInstance().LoadString(id); }

    platform::PlainMessageLoop loop;
    TaskWindow taskWindow;
    platform::WindowHandle window = platform::kNoWindow;
    zorp::test::TempDir dir;
};

TEST_F(UploaderStateTest, StartRunsTheTaskOnThePoolOnlyFromReadyFailedOrPaused) {
    auto task = MakeTask();
    EXPECT_EQ(task->Start(), 2) << "no pool, no start";
    EXPECT_EQ(task->GetState(), TSE_READY);

    ASSERT_TRUE(CUpldThreadMgr::GetInstance().Start());
    ASSERT_EQ(task->Start(), 0);
    ASSERT_EQ(taskWindow.sent.size(), 1u) << "the status is sent before Start returns";
    EXPECT_EQ(taskWindow.sent[0], (std::pair<int64_t, int32_t>{7, TSE_TRANSFERRING}));

    // The file does not exist: the transfer fails, and the failed task may start again.
    ASSERT_TRUE(loop.RunUntil([&] { return !taskWindow.ends.empty(); }, 10000));
    EXPECT_EQ(taskWindow.ends[0].state, TSE_FAILED);
    EXPECT_EQ(taskWindow.ends[0].text, Text(129));
    EXPECT_EQ(task->GetState(), TSE_FAILED);
    EXPECT_EQ(task->Start(), 0);
    ASSERT_TRUE(loop.RunUntil([&] { return taskWindow.ends.size() == 2; }, 10000));

    for (int32_t state : {1, 2, 5, 6, 7, 8}) {
        auto other = MakeTask(state);
        logging::ScopedLogCapture log;
        EXPECT_EQ(other->Start(), 2) << state;
        EXPECT_EQ(other->GetState(), state);
        EXPECT_TRUE(log.Contains("Task[07] can't be started, because of wrong state = " +
                                 std::to_string(state)));
    }
}

TEST_F(UploaderStateTest, PauseChangesOnlyARunningTask) {
    for (int32_t state : {0, 2, 3, 4, 5, 6, 7, 8}) {
        EXPECT_EQ(MakeTask(state)->Pause(), state) << state;
    }
    auto task = MakeTask(TSE_TRANSFERRING);
    EXPECT_EQ(task->Pause(), TSE_PAUSING);
    EXPECT_FALSE(task->GetStopFlag());
}

TEST_F(UploaderStateTest, StopMakesATaskEndDestroyedWhateverItsTransferReports) {
    auto task = MakeTask(TSE_TRANSFERRING);
    EXPECT_EQ(task->Stop(), TSE_DESTROYING);
    EXPECT_TRUE(task->GetStopFlag());
    EXPECT_EQ(task->Stop(), TSE_DESTROYING);
    EXPECT_EQ(task->QueryDestroyed(), 0x80000000u);
    {
        logging::ScopedLogCapture log;
        task->SetState(TSE_FAILED, "late failure");
        EXPECT_TRUE(log.Contains("NoLockSetState Task[07]: [8] changed to [6]"));
    }
    EXPECT_EQ(task->GetState(), TSE_DESTROYED);
    EXPECT_EQ(task->GetStatus().text, "late failure");
    EXPECT_EQ(task->QueryDestroyed(), 6u);
    EXPECT_EQ(task->Stop(), TSE_DESTROYED);
    task->SetState(TSE_TRANSFERRING);
    EXPECT_EQ(task->GetState(), TSE_TRANSFERRING) << "the rule guards 8 only";

    auto pausing = MakeTask(TSE_PAUSING);
    EXPECT_EQ(pausing->Stop(), TSE_DESTROYING);
    pausing->SetState(TSE_PAUSED);
    EXPECT_EQ(pausing->GetState(), TSE_DESTROYED);

    // Nothing runs for these: there is no transfer left to end them.
    for (int32_t state : {0, 2, 3, 4, 5}) {
        auto idle = MakeTask(state);
        EXPECT_EQ(idle->Stop(), TSE_DESTROYED) << state;
        EXPECT_TRUE(idle->GetStopFlag());
    }
}

TEST_F(UploaderStateTest, TransferOfATaskPausedOrStoppedWhileQueuedSendsNothing) {
    for (int32_t state : {TSE_PAUSING, TSE_DESTROYING}) {
        auto task = MakeTask(TSE_TRANSFERRING);
        state == TSE_PAUSING ? task->Pause() : task->Stop();
        CEasyUploader job(std::make_unique<CUploadParam>(task->GetParam()), task);
        logging::ScopedLogCapture log;
        const int expected = state == TSE_PAUSING ? TSE_PAUSED : TSE_DESTROYED;
        EXPECT_EQ(job.Upload(), expected);
        EXPECT_EQ(task->GetState(), expected);
        EXPECT_FALSE(log.Contains("can't open")) << "the file was never opened";
    }
}

TEST_F(UploaderStateTest, CancelledTransferEndsItsTask) {
    auto task = MakeTask(TSE_TRANSFERRING);
    CEasyUploader job(std::make_unique<CUploadParam>(task->GetParam()), task);
    job.OnCancelJob();
    EXPECT_EQ(task->GetState(), TSE_FAILED);
    ASSERT_TRUE(loop.RunUntil([&] { return !taskWindow.ends.empty(); }, 5000));
    EXPECT_EQ(taskWindow.ends[0].state, TSE_FAILED);
}

TEST_F(UploaderStateTest, TaskDroppedByItsWindowOutlivesItsTransfer) {
    ASSERT_TRUE(CUpldThreadMgr::GetInstance().Start());
    std::weak_ptr<CUploaderMgr> watch;
    {
        auto task = MakeTask();
        watch = task;
        ASSERT_EQ(task->Start(), 0);
    }
    ASSERT_TRUE(loop.RunUntil([&] { return !taskWindow.ends.empty(); }, 10000));
    ASSERT_TRUE(loop.RunUntil([&] { return watch.expired(); }, 5000))
        << "the transfer let go of the task when it ended";
}

TEST_F(UploaderStateTest, DisplayTextDerivesFromTheState) {
    const std::map<int32_t, uint32_t> names = {{0, 105}, {1, 111}, {2, 140}, {3, 106}, {4, 108},
                                               {5, 155}, {6, 110}, {7, 118}, {8, 112}};
    for (const auto& [state, id] : names) {
        EXPECT_EQ(CUploaderContext::GetDisplayText(state, ""), Text(id)) << state;
    }
    EXPECT_EQ(CUploaderContext::GetDisplayText(TSE_SERVER_COMPLETED, Text(140)),
              Text(155) + ": " + Text(140));
    EXPECT_EQ(CUploaderContext::GetDisplayText(TSE_PAUSED, "x"), Text(108) + ": x");
    EXPECT_EQ(CUploaderContext::GetDisplayText(TSE_FAILED, Text(124)), Text(106))
        << "a failed task shows its state's name alone";
    EXPECT_EQ(CUploaderContext::GetDisplayText(42, "x"), "Unknown status code: 42");
    EXPECT_EQ(CUploaderContext::GetDisplayText(-1, ""), "Unknown status code: -1");

    auto task = MakeTask();
    task->SetState(TSE_PAUSED, "held");
    EXPECT_EQ(task->GetDisplayText(), Text(108) + ": held");
}

}  // namespace
