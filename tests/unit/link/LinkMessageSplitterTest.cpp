#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/LinkMessageSplitter.h"

namespace {

// Feeds `stream` cut at the given positions and collects every message.
std::vector<std::string> FeedInPieces(LinkMessageSplitter& splitter, const std::string& stream,
                                      const std::vector<size_t>& cuts) {
    std::vector<std::string> messages;
    size_t from = 0;
    auto feed = [&](size_t to) {
        auto result = splitter.Feed(std::string_view(stream).substr(from, to - from));
        messages.insert(messages.end(), result.messages.begin(), result.messages.end());
        from = to;
    };
    for (size_t cut : cuts) {
        feed(cut);
    }
    feed(stream.size());
    return messages;
}

}  // namespace

TEST(LinkMessageSplitterTest, MessageSplitOverManyReceivesComesOutOnceWhole) {
    const std::string message = R"({"type":8,"files":[{"pid":5,"share":0,"paths":["/a/b}"]}]})";
    LinkMessageSplitter splitter;
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < message.size(); ++i) {
        everyByte.push_back(i);
    }
    EXPECT_EQ(FeedInPieces(splitter, message, everyByte), std::vector<std::string>{message});
    EXPECT_EQ(splitter.PendingBytes(), 0u);
}

TEST(LinkMessageSplitterTest, TwoMessagesInOneReceiveAreHandedOutSeparately) {
    LinkMessageSplitter splitter;
    auto result = splitter.Feed(R"({"type":0}{"type":2,"values":[]}  {"type":12,"values":""})");
    EXPECT_EQ(result.messages, (std::vector<std::string>{
                                   R"({"type":0})", R"({"type":2,"values":[]})",
                                   R"({"type":12,"values":""})"}));
    EXPECT_EQ(result.skippedBytes, 0u) << "white space between messages is not garbage";
}

TEST(LinkMessageSplitterTest, BraceInsideAStringAtAReceiveBoundaryDoesNotEndTheMessage) {
    // The first receive ends right after a "}" inside a string: a reader that took "ends with
    // }" for "complete" would parse half a message here.
    const std::string first = R"({"type":8,"files":[{"pid":1,"paths":["/tmp/odd})";
    const std::string second = R"(name"]}]}{"type":3})";
    LinkMessageSplitter splitter;
    EXPECT_TRUE(splitter.Feed(first).messages.empty());
    auto result = splitter.Feed(second);
    ASSERT_EQ(result.messages.size(), 2u);
    EXPECT_EQ(result.messages[0], first + R"(name"]}]})");
    EXPECT_EQ(result.messages[1], R"({"type":3})");
}

TEST(LinkMessageSplitterTest, EscapedQuotesAndBackslashesAreHonoured) {
    // \" does not end the string; \\ before " does. A cut between the backslash and the
    // character it escapes must not lose the escape.
    const std::string message = R"({"n":"a\"}{\\","m":"}\\\"{"})";
    for (size_t cut = 1; cut < message.size(); ++cut) {
        LinkMessageSplitter splitter;
        EXPECT_EQ(FeedInPieces(splitter, message, {cut}), std::vector<std::string>{message})
            << "cut at " << cut;
    }
}

TEST(LinkMessageSplitterTest, GarbageBetweenMessagesIsSkippedAndCounted) {
    LinkMessageSplitter splitter;
    auto result = splitter.Feed("GET / HTTP/1.1\r\n\r\n}]\"" R"({"type":4})" "xyz");
    EXPECT_EQ(result.messages, std::vector<std::string>{R"({"type":4})"});
    EXPECT_EQ(result.skippedBytes, std::string("GET/HTTP/1.1}]\"xyz").size());
}

TEST(LinkMessageSplitterTest, NestedObjectsEndAtTheOutermostBrace) {
    LinkMessageSplitter splitter;
    const std::string message = R"({"a":{"b":{"c":[{},{}]}},"d":"{{{"})";
    EXPECT_EQ(splitter.Feed(message + message).messages,
              (std::vector<std::string>{message, message}));
}

TEST(LinkMessageSplitterTest, OverlongMessageIsDroppedAndTheNextOneStillArrives) {
    LinkMessageSplitter splitter(1000);
    const std::string big = R"({"type":8,"files":[{"paths":[")" + std::string(5000, 'x') + R"("]}]})";
    std::vector<std::string> messages;
    size_t dropped = 0;
    bool overflowed = false;
    const std::string stream = big + R"({"type":3})";
    for (size_t i = 0; i < stream.size(); i += 100) {
        auto result = splitter.Feed(std::string_view(stream).substr(i, 100));
        messages.insert(messages.end(), result.messages.begin(), result.messages.end());
        dropped += result.droppedMessages;
        overflowed |= result.overflowed;
        EXPECT_LE(splitter.PendingBytes(), 1000u + 100u) << "memory stays bounded";
    }
    EXPECT_TRUE(overflowed);
    EXPECT_EQ(dropped, 1u);
    EXPECT_EQ(messages, std::vector<std::string>{R"({"type":3})"});
    EXPECT_FALSE(splitter.IsDropping());
}

TEST(LinkMessageSplitterTest, OverlongMessageWithinOneFeedIsDroppedToo) {
    LinkMessageSplitter splitter(10);
    auto result = splitter.Feed(R"({"type":8,"x":12345}{"type":3})");
    EXPECT_EQ(result.messages, std::vector<std::string>{R"({"type":3})"});
    EXPECT_EQ(result.droppedMessages, 1u);
}

TEST(LinkMessageSplitterTest, NulBytesAreCarriedNotTreatedAsTheEnd) {
    LinkMessageSplitter splitter;
    const std::string message("{\"a\":\"x\0y\"}", 11);
    auto result = splitter.Feed(message);
    ASSERT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(result.messages[0], message);
}

// After garbage that opens objects and never closes them, the link used to stay deaf for good.
TEST(LinkMessageSplitterTest, UnbalancedGarbageNeverStopsTheNextMessage) {
    LinkMessageSplitter splitter(1 << 20);
    const std::string hello = R"({"type":0})";
    std::string garbage;
    for (int i = 0; i < 200000; ++i) {
        garbage += "{{{[[";
    }
    size_t served = 0;
    for (size_t i = 0; i < garbage.size(); i += 4096) {
        served += splitter.Feed(std::string_view(garbage).substr(i, 4096)).messages.size();
        EXPECT_LE(splitter.PendingBytes(), 4096u);
    }
    EXPECT_EQ(served, 0u);
    auto result = splitter.Feed(hello);
    EXPECT_EQ(result.messages, std::vector<std::string>{hello});

    // Control bytes, a key without its colon, a closing bracket of the wrong kind, nesting past
    // the limit: each object is rejected where it goes wrong, and a "{" there begins the next.
    const std::string deep(LinkMessageSplitter::kMaxDepth + 5, '[');
    for (const std::string& bad : {std::string("{\"a\":\"x\x01y\"}"), std::string(R"({"a" 1})"),
                                   std::string(R"({"a":[1}])"), "{\"a\":" + deep,
                                   std::string("{\"a\":tru{\"type\":3}")}) {
        LinkMessageSplitter fresh;
        auto got = fresh.Feed(bad + hello);
        EXPECT_GE(got.rejectedObjects, 1u) << bad.substr(0, 20);
        ASSERT_FALSE(got.messages.empty()) << bad.substr(0, 20);
        EXPECT_EQ(got.messages.back(), hello) << bad.substr(0, 20);
    }
}

TEST(LinkMessageSplitterTest, OneBraceAndMegabytesWithoutItsEndStillLetTheNextMessageThrough) {
    LinkMessageSplitter splitter(1 << 16);
    const std::string hello = R"({"type":0})";
    // Not JSON after the brace: given up at once.
    auto first = splitter.Feed("{" + std::string(1 << 20, 'x'));
    EXPECT_EQ(splitter.PendingBytes(), 0u);
    EXPECT_EQ(first.rejectedObjects, 1u);
    EXPECT_EQ(splitter.Feed(hello).messages, std::vector<std::string>{hello});
    // A string that never closes: dropped past the cap, given up further on.
    splitter.Feed(R"({"a":")" + std::string((LinkMessageSplitter::kGiveUpFactor + 1) << 16, 'y'));
    EXPECT_EQ(splitter.PendingBytes(), 0u);
    EXPECT_EQ(splitter.Feed(hello).messages, std::vector<std::string>{hello});
}

// The nested objects of a dropped over-long message (a batch's items carry a "type" too) must
// never come out as messages of their own.
TEST(LinkMessageSplitterTest, TheItemsOfADroppedOverlongMessageAreNotTakenForMessages) {
    LinkMessageSplitter splitter(1000);
    std::string big = R"({"type":11,"files":[)";
    for (int i = 0; i < 100; ++i) {
        big += std::string(i ? "," : "") + R"({"fid":5,"name":"x","type":1,"share":0,"size":3})";
    }
    big += "]}";
    auto result = splitter.Feed(big + R"({"type":4})");
    EXPECT_EQ(result.messages, std::vector<std::string>{R"({"type":4})"});
    EXPECT_EQ(result.droppedMessages, 1u);
}
