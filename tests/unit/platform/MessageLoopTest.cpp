#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "platform/WindowRegistry.h"

using namespace platform;

namespace {

std::atomic<int> g_recordsAlive{0};

// A heap record that counts how many of its kind are alive.
struct Record {
    int value;
    explicit Record(int v) : value(v) { ++g_recordsAlive; }
    ~Record() { --g_recordsAlive; }
};

class RecordingTarget : public MessageTarget {
public:
    int64_t HandleMessage(Message& message) override {
        ids.push_back(message.id);
        if (auto* record = message.W<Record>()) {
            values.push_back(record->value);
        }
        if (message.id == WM_TIMER) {
            timerIds.push_back(static_cast<uint32_t>(message.wValue));
        }
        return 42;
    }
    std::vector<uint32_t> ids;
    std::vector<int> values;
    std::vector<uint32_t> timerIds;
};

}  // namespace

TEST(MessageLoopTest, PostedMessagesArriveInOrderWithTheirRecords) {
    PlainMessageLoop loop;
    RecordingTarget target;
    WindowHandle h = target.Attach();
    ASSERT_NE(h, kNoWindow);
    std::thread worker([h] {
        for (int i = 0; i < 3; ++i) {
            PostMessage(h, Message(WM_USER + 1, MakePayload<Record>(i)));
        }
    });
    worker.join();
    ASSERT_TRUE(loop.RunUntil([&] { return target.values.size() == 3; }, 2000));
    EXPECT_EQ(target.values, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(g_recordsAlive, 0) << "delivered records are freed after the handler";
}

TEST(MessageLoopTest, MessageToAClosedWindowFreesItsRecords) {
    PlainMessageLoop loop;
    auto target = std::make_unique<RecordingTarget>();
    WindowHandle h = target->Attach();
    EXPECT_TRUE(PostMessage(h, Message(WM_USER + 2, MakePayload<Record>(1), MakePayload<Record>(2))));
    EXPECT_EQ(g_recordsAlive, 2);
    target.reset();  // closed while its message is still queued
    loop.RunFor(20);
    EXPECT_EQ(g_recordsAlive, 0);
    EXPECT_FALSE(PostMessage(h, Message(WM_USER + 3, MakePayload<Record>(3))));
    EXPECT_EQ(g_recordsAlive, 0) << "a post to an unknown window frees the record at once";
    EXPECT_FALSE(WindowRegistry::IsWindow(h));
}

TEST(MessageLoopTest, SendMessageFromAnotherThreadWaitsForTheHandler) {
    PlainMessageLoop loop;
    RecordingTarget target;
    WindowHandle h = target.Attach();
    std::atomic<int64_t> result{0};
    std::thread sender([&] { result = SendMessage(h, WM_USER + 5); });
    ASSERT_TRUE(loop.RunUntil([&] { return result == 42; }, 2000));
    sender.join();
    EXPECT_EQ(SendMessage(h, WM_USER + 6), 42) << "same-thread sends run at once";
    EXPECT_EQ(target.ids.back(), WM_USER + 6);
}

TEST(MessageLoopTest, TimersRepeatAndSettingAnIdAgainReplacesIt) {
    PlainMessageLoop loop;
    RecordingTarget target;
    WindowHandle h = target.Attach();
    ASSERT_TRUE(SetTimer(h, 1011, 10));
    ASSERT_TRUE(loop.RunUntil([&] { return target.timerIds.size() >= 3; }, 2000));
    ASSERT_TRUE(SetTimer(h, 1011, 10000));  // replaces: no further tick for a long time
    size_t ticks = target.timerIds.size();
    loop.RunFor(60);
    EXPECT_EQ(target.timerIds.size(), ticks);
    EXPECT_TRUE(KillTimer(h, 1011));
    for (auto id : target.timerIds) {
        EXPECT_EQ(id, 1011u);
    }
}

TEST(MessageLoopTest, QuitEndsRunWithTheExitCode) {
    PlainMessageLoop loop;
    std::thread quitter([&] { loop.Quit(7); });
    EXPECT_EQ(loop.Run(), 7);
    quitter.join();
}
