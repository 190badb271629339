#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "core/CFPoolManager.h"
#include "core/CFThreadPool.h"
#include "core/CTaskThread.h"
#include "core/Logging.h"
#include "platform/Event.h"
#include "support/WaitFor.h"

using zorp::test::WaitFor;

namespace {

struct Trace {
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> runs{0};
    std::atomic<int> finishes{0};
    std::atomic<int> cancels{0};
    void Add(int id) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(id);
    }
};

using Param = int;

// A job that records itself and can be held at a gate until the test opens it.
class TestJob : public CFJobBase<Param> {
public:
    TestJob(Trace& trace, int id, int priority, platform::Event* gate = nullptr)
        : CFJobBase<Param>(id, priority), m_trace(trace), m_gate(gate) {}
    void Run() override {
        ++m_trace.runs;
        if (m_gate) {
            m_gate->Wait();
        }
        m_trace.Add(GetParam());
    }
    void OnFinalize() override { ++m_trace.finishes; }
    void OnCancelJob() override { ++m_trace.cancels; }

private:
    Trace& m_trace;
    platform::Event* m_gate;
};

class CountingCallback : public IFThreadPoolCallBack<Param> {
public:
    std::atomic<int> begins{0}, ends{0}, cancels{0};
    void OnJobBegin(int, CFJobBase<Param>*) override { ++begins; }
    void OnJobEnd(int, CFJobBase<Param>*) override { ++ends; }
    void OnJobCancel(int, CFJobBase<Param>*) override { ++cancels; }
};

}  // namespace

TEST(CFThreadPoolTest, WaitingJobsRunByPriorityThenSubmissionOrder) {
    Trace trace;
    CountingCallback callback;
    auto pool = CFThreadPool<Param>::Create(&callback);
    ASSERT_TRUE(pool->Start(1, 1));
    platform::Event gate(true, false);
    pool->SubmitJob(std::make_unique<TestJob>(trace, 0, 0, &gate));  // holds the only thread
    ASSERT_TRUE(WaitFor([&] { return trace.runs == 1; }));
    pool->SubmitJob(std::make_unique<TestJob>(trace, 1, 0));
    pool->SubmitJob(std::make_unique<TestJob>(trace, 2, -1));
    pool->SubmitJob(std::make_unique<TestJob>(trace, 3, -1));
    pool->SubmitJob(std::make_unique<TestJob>(trace, 4, 0));
    gate.Set();
    ASSERT_TRUE(WaitFor([&] { return trace.finishes == 5; }));
    EXPECT_EQ(trace.order, (std::vector<int>{0, 2, 3, 1, 4}));
    EXPECT_EQ(callback.begins, 5);
    EXPECT_EQ(callback.ends, 5);
    pool->Destroy();
}

TEST(CFThreadPoolTest, GrowsToTheMaximumUnderABurstAndShrinksBackToTheMinimum) {
    Trace trace;
    auto pool = CFThreadPool<Param>::Create(nullptr);
    ASSERT_TRUE(pool->Start(1, 5));
    EXPECT_EQ(pool->GetThreadCount(), 1);
    platform::Event gate(true, false);
    // A thread is added when a job arrives while every thread is busy; let each job reach
    // its thread before the next one comes.
    for (int i = 0; i < 8; ++i) {
        pool->SubmitJob(std::make_unique<TestJob>(trace, i, 0, &gate));
        WaitFor([&] { return trace.runs == std::min(i + 1, 5); }, std::chrono::milliseconds(500));
    }
    ASSERT_TRUE(WaitFor([&] { return trace.runs == 5; }));
    EXPECT_EQ(pool->GetThreadCount(), 5) << "never more than the maximum";
    EXPECT_EQ(pool->GetRunningJobCount(), 5);
    gate.Set();
    ASSERT_TRUE(WaitFor([&] { return trace.finishes == 8; }));
    ASSERT_TRUE(WaitFor([&] { return pool->GetThreadCount() == 1; }))
        << "idle threads above the minimum leave";
    pool->Destroy();
}

TEST(CFThreadPoolTest, FixedSizePoolNeverGrowsOrShrinks) {
    Trace trace;
    auto pool = CFThreadPool<Param>::Create(nullptr);
    ASSERT_TRUE(pool->Start(5, 5));
    for (int i = 0; i < 50; ++i) {
        pool->SubmitJob(std::make_unique<TestJob>(trace, i, 0));
    }
    ASSERT_TRUE(WaitFor([&] { return trace.finishes == 50; }));
    EXPECT_EQ(pool->GetThreadCount(), 5);
    // The first threads can finish all the jobs before the last ones have even started.
    EXPECT_TRUE(WaitFor([&] { return pool->GetLiveThreadCount() == 5; }));
    pool->Destroy();
    EXPECT_EQ(pool->GetLiveThreadCount(), 0);
}

TEST(CFThreadPoolTest, DestroyCancelsEachWaitingJobExactlyOnceAndNeverRunsIt) {
    Trace trace;
    CountingCallback callback;
    auto pool = CFThreadPool<Param>::Create(&callback);
    ASSERT_TRUE(pool->Start(1, 1));
    platform::Event gate(true, false);
    pool->SubmitJob(std::make_unique<TestJob>(trace, 0, 0, &gate));
    ASSERT_TRUE(WaitFor([&] { return trace.runs == 1; }));
    for (int i = 1; i <= 6; ++i) {
        pool->SubmitJob(std::make_unique<TestJob>(trace, i, 0));
    }
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gate.Set();
    });
    pool->Destroy();
    opener.join();
    EXPECT_EQ(trace.runs, 1);
    EXPECT_EQ(trace.cancels, 6);
    EXPECT_EQ(callback.cancels, 6);
    EXPECT_EQ(trace.finishes, 1);
}

namespace {

// A job that works in blocks and asks the pool before each one.
class BlockJob : public CFJobBase<Param> {
public:
    BlockJob(std::atomic<int>& blocks, std::atomic<bool>& stopped)
        : CFJobBase<Param>(0), m_blocks(blocks), m_stopped(stopped) {}
    void Run() override {
        while (ShouldContinue()) {
            ++m_blocks;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_stopped = true;
    }

private:
    std::atomic<int>& m_blocks;
    std::atomic<bool>& m_stopped;
};

}  // namespace

TEST(CFThreadPoolTest, PauseHoldsJobsInTheirContinueCheckAndStopReleasesThem) {
    std::atomic<int> blocks{0};
    std::atomic<bool> stopped{false};
    auto pool = CFThreadPool<Param>::Create(nullptr);
    ASSERT_TRUE(pool->Start(1, 1));
    pool->SubmitJob(std::make_unique<BlockJob>(blocks, stopped));
    ASSERT_TRUE(WaitFor([&] { return blocks > 3; }));
    pool->Pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int held = blocks;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(blocks, held) << "a paused job must not start another block";
    EXPECT_FALSE(stopped);
    pool->StopAll();  // the stop reaches a job that waits in its continue check
    ASSERT_TRUE(WaitFor([&] { return stopped.load(); }));
    EXPECT_TRUE(pool->StopAndWait(5000));
}

TEST(CFThreadPoolTest, StopRequestOfOneRunningJobLeavesTheOthersRunning) {
    std::atomic<int> blocksA{0}, blocksB{0};
    std::atomic<bool> stoppedA{false}, stoppedB{false};
    auto pool = CFThreadPool<Param>::Create(nullptr);
    ASSERT_TRUE(pool->Start(2, 2));
    int indexA = 0;
    pool->SubmitJob(std::make_unique<BlockJob>(blocksA, stoppedA), &indexA);
    pool->SubmitJob(std::make_unique<BlockJob>(blocksB, stoppedB));
    ASSERT_TRUE(WaitFor([&] { return blocksA > 0 && blocksB > 0; }));
    EXPECT_TRUE(pool->StopRunningJob(indexA));
    ASSERT_TRUE(WaitFor([&] { return stoppedA.load(); }));
    int b = blocksB;
    ASSERT_TRUE(WaitFor([&] { return blocksB > b + 3; }));
    EXPECT_FALSE(stoppedB);
    pool->Destroy();
    EXPECT_TRUE(stoppedB);
}

namespace {

class TestManager : public CFPoolManager<Param> {
public:
    TestManager() : CFPoolManager<Param>(1, 5) {}
};

class LoopThread : public CTaskThread {
public:
    std::atomic<int> passes{0};
    void Quit() { SetQuit(true); }

protected:
    void ThreadMain() override {
        while (!IsQuit()) {
            ++passes;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

}  // namespace

TEST(CFPoolManagerTest, StartIsIdempotentAndStopCancelsWhatWaits) {
    Trace trace;
    TestManager manager;
    EXPECT_FALSE(manager.AddJob(std::make_unique<TestJob>(trace, 0, 0)))
        << "no job is taken before start";
    EXPECT_EQ(trace.cancels, 0);
    ASSERT_TRUE(manager.Start());
    auto pool = manager.GetPool();
    ASSERT_TRUE(manager.Start());
    EXPECT_EQ(manager.GetPool(), pool);
    ASSERT_TRUE(manager.AddJob(std::make_unique<TestJob>(trace, 1, 0)));
    ASSERT_TRUE(WaitFor([&] { return trace.finishes == 1; }));
    manager.Stop();
    EXPECT_FALSE(manager.IsStarted());
}

TEST(CTaskThreadTest, SecondStartLogsAndStartsNothing) {
    logging::ScopedLogCapture capture;
    LoopThread thread;
    ASSERT_TRUE(thread.Start());
    int64_t firstId = thread.GetThreadId();
    EXPECT_NE(firstId, 0);
    EXPECT_TRUE(capture.Contains("worker thread started, Thread ID=" + std::to_string(firstId)));
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(capture.Contains("can't be started, because the thread handle still exist."));
    EXPECT_EQ(thread.GetThreadId(), firstId);
    EXPECT_EQ(capture.Count("worker thread started"), 1u);
    thread.Quit();
    EXPECT_TRUE(thread.WaitForExit(5000));
    thread.Stop();
    ASSERT_TRUE(thread.Start()) << "after stop a new thread can start";
    EXPECT_EQ(capture.Count("worker thread started"), 2u);
    thread.Quit();
    EXPECT_TRUE(thread.WaitForExit(5000));
    thread.Stop();
}
