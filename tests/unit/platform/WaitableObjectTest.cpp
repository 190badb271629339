#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/Semaphore.h"
#include "support/WaitFor.h"

using platform::Event;
using platform::Semaphore;
using platform::WaitAny;
using zorp::test::WaitFor;

namespace {

// Starts `n` threads that each wait once on `object` and count their wake-ups.
struct Waiters {
    std::vector<std::thread> threads;
    std::atomic<int> woken{0};
    Waiters(platform::WaitableObject& object, int n, uint32_t timeoutMs) {
        for (int i = 0; i < n; ++i) {
            threads.emplace_back([&, timeoutMs] {
                if (object.Wait(timeoutMs)) {
                    ++woken;
                }
            });
        }
    }
    ~Waiters() {
        for (auto& t : threads) {
            t.join();
        }
    }
};

}  // namespace

TEST(EventTest, AutoResetReleasesExactlyOneWaiterPerSet) {
    Event event(false, false);
    {
        Waiters waiters(event, 3, 300);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        event.Set();
        ASSERT_TRUE(WaitFor([&] { return waiters.woken == 1; }));
        event.Set();
        ASSERT_TRUE(WaitFor([&] { return waiters.woken == 2; }));
    }
    EXPECT_FALSE(event.IsSet()) << "an auto-reset event handed to a waiter must reset itself";
}

TEST(EventTest, ManualResetReleasesEveryWaiterAndStaysSet) {
    Event event(true, false);
    {
        Waiters waiters(event, 4, 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        event.Set();
        ASSERT_TRUE(WaitFor([&] { return waiters.woken == 4; }));
    }
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(WaitAnyTest, ReturnsTheFirstSignalledInListOrderAndConsumesOnlyIt) {
    Event a(false, false), b(false, true), c(false, true);
    EXPECT_EQ(WaitAny({&a, &b, &c}, 0), 1);
    EXPECT_FALSE(b.IsSet());
    EXPECT_TRUE(c.IsSet()) << "only the returned object may be consumed";
    EXPECT_EQ(WaitAny({&a, &b, &c}, 0), 2);
    EXPECT_EQ(WaitAny({&a, &b, &c}, 20), platform::kWaitTimeout);
}

TEST(WaitAnyTest, WakesForAnObjectSignalledLaterFromAnotherThread) {
    Event stop(true, false);
    Semaphore jobs(0, 10);
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        jobs.Release(1);
    });
    EXPECT_EQ(WaitAny({&stop, &jobs}, 5000), 1);
    producer.join();
    EXPECT_EQ(jobs.Count(), 0);
}

TEST(SemaphoreTest, ReleasePastTheMaximumFailsWithFullAndChangesNothing) {
    Semaphore semaphore(1, 2);
    int64_t previous = -1;
    EXPECT_EQ(semaphore.Release(1, &previous), Semaphore::ReleaseResult::kOk);
    EXPECT_EQ(previous, 1);
    EXPECT_EQ(semaphore.Release(1), Semaphore::ReleaseResult::kFull);
    EXPECT_EQ(semaphore.Count(), 2);
}

TEST(SemaphoreTest, EachCountWakesOneWaiterNoCountIsLost) {
    Semaphore semaphore(0, 1000);
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            while (semaphore.Wait(200)) {
                ++taken;
            }
        });
    }
    for (int i = 0; i < 500; ++i) {
        semaphore.Release(1);
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(taken, 500);
    EXPECT_EQ(semaphore.Count(), 0);
}
