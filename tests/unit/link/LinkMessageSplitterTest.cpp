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
