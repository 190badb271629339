#include "ui/QtMessageLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "UiTestApp.h"
#include "platform/MessageTarget.h"
#include "platform/WindowRegistry.h"

namespace {

using platform::Message;

// A record that counts its own destruction, to see that nobody leaks or double-frees it.
struct Tracked {
    explicit Tracked(std::atomic<int>* counter) : freed(counter) {}
    ~Tracked() { ++*freed; }
    Tracked(const Tracked&) = delete;
    std::atomic<int>* freed;
};

class Recorder : public platform::MessageTarget {
public:
    int64_t HandleMessage(Message& message) override {
        ids.push_back(message.id);
        if (message.id == platform::WM_TIMER) {
            timerIds.push_back(static_cast<uint32_t>(message.wValue));
        }
        if (message.W<Tracked>()) {
            ++withPayload;
        }
        return static_cast<int64_t>(message.id) + 1;
    }
    std::vector<uint32_t> ids;
    std::vector<uint32_t> timerIds;
    int withPayload = 0;
};

constexpr uint32_t kTestMessage = platform::WM_USER + 1108;

TEST(QtMessageLoopTest, PostedMessagesArriveOnTheGuiThreadInOrder) {
    QtMessageLoop& loop = zorp::test::UiLoop();
    Recorder window;
    ASSERT_NE(window.Attach(), platform::kNoWindow);
    std::thread poster([h = window.GetHandle()] {
        for (uint32_t i = 0; i < 100; ++i) {
            platform::PostMessage(h, kTestMessage + (i % 3));
        }
    });
    poster.join();
    ASSERT_TRUE(loop.RunUntil([&] { return window.ids.size() == 100; }, 5000));
    for (size_t i = 0; i < window.ids.size(); ++i) {
        EXPECT_EQ(window.ids[i], kTestMessage + (i % 3)) << i;
    }
}

TEST(QtMessageLoopTest, PayloadToAClosedWindowIsFreedUnread) {
    QtMessageLoop& loop = zorp::test::UiLoop();
    std::atomic<int> freed{0};
    auto window = std::make_unique<Recorder>();
    window->Attach();
    const auto handle = window->GetHandle();
    // Queued while the window is open, delivered after it closed.
    ASSERT_TRUE(platform::PostMessage(
        handle, Message(kTestMessage, platform::MakePayload<Tracked>(&freed),
                        platform::MakePayload<Tracked>(&freed))));
    window.reset();
    loop.RunUntil([&] { return freed == 2; }, 2000);
    EXPECT_EQ(freed, 2);
    // Posted after it closed: refused and freed at once.
    EXPECT_FALSE(platform::PostMessage(handle, Message(kTestMessage,
                                                       platform::MakePayload<Tracked>(&freed))));
    EXPECT_EQ(freed, 3);
}

TEST(QtMessageLoopTest, PayloadIsFreedAfterTheHandlerRan) {
    QtMessageLoop& loop = zorp::test::UiLoop();
    std::atomic<int> freed{0};
    Recorder window;
    window.Attach();
    platform::PostMessage(window.GetHandle(),
                          Message(kTestMessage, platform::MakePayload<Tracked>(&freed)));
    ASSERT_TRUE(loop.RunUntil([&] { return freed == 1; }, 2000));
    EXPECT_EQ(window.withPayload, 1);
}

TEST(QtMessageLoopTest, EnvelopesStillQueuedWhenTheLoopGoesAwayAreFreed) {
    zorp::test::UiLoop();
    std::atomic<int> freed{0};
    {
        // A second loop object on the same thread: its queue dies with it.
        QtMessageLoop local;
        Recorder window;
        window.Attach(&local);
        for (int i = 0; i < 5; ++i) {
            platform::PostMessage(window.GetHandle(),
                                  Message(kTestMessage, platform::MakePayload<Tracked>(&freed)));
        }
        EXPECT_EQ(freed, 0);
    }
    EXPECT_EQ(freed, 5);
    zorp::test::UiLoop().MakeCurrent();
}

TEST(QtMessageLoopTest, SendFromAnotherThreadWaitsForTheHandler) {
    QtMessageLoop& loop = zorp::test::UiLoop();
    Recorder window;
    window.Attach();
    std::atomic<int64_t> result{0};
    std::thread sender([&] { result = platform::SendMessage(window.GetHandle(), kTestMessage); });
    loop.RunUntil([&] { return result != 0; }, 5000);
    sender.join();
    EXPECT_EQ(result, kTestMessage + 1);
}

TEST(QtMessageLoopTest, TimersTickByIdAndSettingAnIdAgainReplacesIt) {
    QtMessageLoop& loop = zorp::test::UiLoop();
    Recorder window;
    window.Attach();
    ASSERT_TRUE(platform::SetTimer(window.GetHandle(), 1100, 10000));
    ASSERT_TRUE(platform::SetTimer(window.GetHandle(), 1100, 5));  // replaces the first
    ASSERT_TRUE(platform::SetTimer(window.GetHandle(), 1008, 5));
    EXPECT_EQ(loop.TimerCount(), 2u);
    ASSERT_TRUE(loop.RunUntil(
        [&] {
            return std::count(window.timerIds.begin(), window.timerIds.end(), 1100u) >= 2 &&
                   std::count(window.timerIds.begin(), window.timerIds.end(), 1008u) >= 2;
        },
        5000));
    platform::KillTimer(window.GetHandle(), 1100);
    window.timerIds.clear();
    loop.RunUntil([&] { return std::count(window.timerIds.begin(), window.timerIds.end(), 1008u) >= 3; },
                  5000);
    EXPECT_EQ(std::count(window.timerIds.begin(), window.timerIds.end(), 1100u), 0);
    window.Detach();
    EXPECT_EQ(loop.TimerCount(), 0u);  // a window's timers go with it
}

TEST(QtMessageLoopTest, QuitBeforeTheLoopRunsEndsItWithTheCode) {
    QtMessageLoop& loop = zorp::test::UiLoop();
    std::thread([&] { loop.Quit(7); }).join();
    EXPECT_EQ(loop.Run(), 7);
}

}  // namespace
