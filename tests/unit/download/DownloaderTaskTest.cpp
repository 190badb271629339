// The download task's states on their own: who may start, pause and stop it, and the rule that
// a task being destroyed ends destroyed whatever its run reports.
#include <gtest/gtest.h>

#include "core/Logging.h"
#include "download/CDownloaderMgr.h"

namespace {

std::shared_ptr<CDownloaderMgr> TaskIn(int32_t state) {
    CDownloadParam param;
    param.taskId = 7;
    param.url = "http://download.localhost/x?fid=1";
    param.name = "a.bin";
    auto task = CDownloaderMgr::Create(param);
    task->SetState(state);
    return task;
}

TEST(DownloaderTaskTest, OnlyReadyFailedAndPausedTasksStart) {
    for (int32_t state : {TSE_TRANSFERRING, TSE_COMPLETED, TSE_DESTROYED, TSE_PAUSING,
                          TSE_DESTROYING}) {
        SCOPED_TRACE(state);
        logging::ScopedLogCapture log;
        auto task = TaskIn(state);
        EXPECT_EQ(task->Start(), 2);
        EXPECT_EQ(task->GetState(), state) << "a refused start changes nothing";
        EXPECT_TRUE(log.Contains("Task[07] can't be started, because of wrong state = " +
                                 std::to_string(state)));
    }
    for (int32_t state : {TSE_READY, TSE_FAILED, TSE_PAUSED}) {
        EXPECT_TRUE(CDownloaderContext::CanStart(state)) << state;
        EXPECT_EQ(TaskIn(state)->Start(), 2) << "without a running pool the task stays as it is";
        EXPECT_EQ(TaskIn(state)->GetState(), state);
    }
}

TEST(DownloaderTaskTest, PauseAndStopActOnlyWhereTheyMay) {
    EXPECT_EQ(TaskIn(TSE_TRANSFERRING)->Pause(), TSE_PAUSING);
    for (int32_t state : {TSE_READY, TSE_PAUSED, TSE_FAILED, TSE_COMPLETED}) {
        EXPECT_EQ(TaskIn(state)->Pause(), state) << "a no-op returning the state";
    }
    // A run under way winds down as destroying; a task with no run is destroyed at once. Either
    // way it is abandoned: no end message will come.
    for (int32_t state : {TSE_TRANSFERRING, TSE_PAUSING}) {
        auto task = TaskIn(state);
        EXPECT_EQ(task->Stop(), TSE_DESTROYING);
        EXPECT_TRUE(task->IsAbandoned());
        EXPECT_EQ(task->QueryDestroyed(), CDownloaderMgr::kNotDestroyed);
    }
    for (int32_t state : {TSE_READY, TSE_PAUSED, TSE_FAILED, TSE_COMPLETED}) {
        auto task = TaskIn(state);
        EXPECT_EQ(task->Stop(), TSE_DESTROYED);
        EXPECT_EQ(task->QueryDestroyed(), static_cast<uint32_t>(TSE_DESTROYED));
    }
    EXPECT_EQ(TaskIn(TSE_DESTROYED)->Stop(), TSE_DESTROYED);
}

TEST(DownloaderTaskTest, ATaskBeingDestroyedEndsDestroyedWhateverItsRunSays) {
    for (int32_t reported : {TSE_FAILED, TSE_PAUSED, TSE_COMPLETED, TSE_READY}) {
        auto task = TaskIn(TSE_TRANSFERRING);
        task->Stop();
        task->SetState(reported, "ignored");
        EXPECT_EQ(task->GetState(), TSE_DESTROYED) << reported;
    }
    // Setting the same state again still replaces the text.
    auto task = TaskIn(TSE_FAILED);
    task->SetState(TSE_FAILED, "second");
    EXPECT_EQ(task->GetStatus().text, "second");
    task->SetState(TSE_FAILED);
    EXPECT_EQ(task->GetStatus().text, "");
}

TEST(DownloaderTaskTest, IdleAfterARunMeansCompletedFailedOrPaused) {
    for (int32_t state = TSE_READY; state <= TSE_DESTROYING; ++state) {
        const bool idle = state == TSE_COMPLETED || state == TSE_FAILED || state == TSE_PAUSED;
        EXPECT_EQ(CDownloaderContext::IsIdleAfterRun(state), idle) << state;
    }
}

}  // namespace
