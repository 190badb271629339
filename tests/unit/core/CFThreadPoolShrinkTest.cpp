#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/CFThreadPool.h"
#include "platform/Event.h"

namespace {

class SignalJob : public CFJobBase<platform::Event*> {
public:
    explicit SignalJob(platform::Event* done) : CFJobBase<platform::Event*>(done) {}
    void Run() override {
        // About as long as a small database write: long enough for the pool to grow a thread.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        GetParam()->Set();
    }
};

}  // namespace

// Each job is submitted as soon as the one before has signalled, while its thread is still
// finishing it: the pool grows a thread, then lets idle ones leave. A permission to leave that
// outlived the thread count dropping to the minimum made the last thread leave too, and the
// next job then waited for ever with no thread at all.
TEST(CFThreadPoolTest, BackToBackJobsNeverLeaveThePoolWithoutThreads) {
    IFThreadPoolCallBack<platform::Event*> callback;
    auto pool = CFThreadPool<platform::Event*>::Create(&callback);
    ASSERT_TRUE(pool->Start(1, 5));
    platform::Event done(false, false);
    for (int i = 0; i < 5000; ++i) {
        pool->SubmitJob(std::make_unique<SignalJob>(&done));
        ASSERT_TRUE(done.Wait(10000)) << "job " << i << " never ran";
    }
    EXPECT_GE(pool->GetThreadCount(), 1);
    pool->Destroy();
}
