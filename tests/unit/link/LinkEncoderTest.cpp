#include <gtest/gtest.h>

#include <json/reader.h>

#include <memory>
#include <string>
#include <vector>

#include "link/LinkEncoder.h"

using namespace LinkProtocol;

namespace {

bool ParsesAsJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
}

}  // namespace

TEST(LinkEncoderTest, NameListsWithNothingToReport) {
    // Finished names report an empty list; transfer and failed names become the keep-alive.
    EXPECT_EQ(ComposeUpdateMsg(Out::kUploadsFinished, {}), R"({"type":3,"files":[]})");
    EXPECT_EQ(ComposeUpdateMsg(Out::kDownloadsFinished, {}), R"({"type":4,"files":[]})");
    for (Out type :
         {Out::kUploadNames, Out::kDownloadNames, Out::kUploadsFailed, Out::kDownloadsFailed,
          Out::kUploadCreated, Out::kUploadProgress, Out::kUploadComplete, Out::kUploadRemoved,
          Out::kFolderCreated, Out::kEditDnldProgress, Out::kEditDnldDone, Out::kEditDnldFailed}) {
        EXPECT_EQ(ComposeUpdateMsg(type, {}), R"({"type":23})") << Number(type);
    }
    EXPECT_EQ(ComposeUpdateMsg(static_cast<Out>(22), {"x"}), R"({"type":23})");
    EXPECT_EQ(ComposeUpdateMsg(Out::kHelloReply, {"x"}), R"({"type":23})");
}

TEST(LinkEncoderTest, NameAndObjectListsByteForByte) {
    EXPECT_EQ(ComposeUpdateMsg(Out::kUploadNames, {"a.txt", "b"}),
              R"({"type":1,"files":["a.txt","b"]})");
    EXPECT_EQ(
        ComposeUpdateMsg(Out::kUploadProgress,
                         {UpldProgressEntry(7, 8, 100, 50), UpldProgressEntry(-1, 0, 0, 0)}),
        R"({"type":15,"files":[{"fid":7,"pid":8,"size":100,"position":50},{"fid":-1,"pid":0,"size":0,"position":0}]})");
    EXPECT_EQ(ComposeUpdateMsg(Out::kUploadRemoved, {UpldRemovedEntry(9223372036854775807, 3)}),
              R"({"type":17,"files":[{"fid":9223372036854775807,"pid":3}]})");
}

TEST(LinkEncoderTest, InfoAndTokenAreInsertedAsCompactJsonWithItsNewline) {
    Json::Value info;
    info["fid"] = 12;
    info["name"] = "a \"b\".txt";
    const std::string infoText = CompactJson(info);
    EXPECT_EQ(infoText, "{\"fid\":12,\"name\":\"a \\\"b\\\".txt\"}\n");
    EXPECT_EQ(ComposeUpdateMsg(Out::kUploadCreated, {UpldInfoEntry(12, 3, infoText)}),
              "{\"type\":14,\"files\":[{\"fid\":12,\"pid\":3,\"info\":" + infoText + "}]}");

    const std::string token = CompactJson(Json::Value("tok"));
    EXPECT_EQ(EditDnldProgressEntry(5, 10, 4, "doc.txt", token),
              "\"fid\":5,\"size\":10,\"position\":4,\"name\":\"doc.txt\",\"token\":\"tok\"\n");
    EXPECT_EQ(EditDnldResultEntry(5, "doc.txt", token),
              "\"fid\":5,\"name\":\"doc.txt\",\"token\":\"tok\"\n");
    // A missing token must not leave "token": without a value.
    EXPECT_TRUE(
        ParsesAsJson(ComposeUpdateMsg(Out::kEditDnldDone, {EditDnldResultEntry(5, "x", "")})));
}

TEST(LinkEncoderTest, NamesAreShortenedInUtf16Units) {
    EXPECT_EQ(ShortenName("abcdefghijklmnopqrstuv"), "abcdefghijklmnopqrstuv")
        << "22 units are sent whole";
    EXPECT_EQ(ShortenName("abcdefghijklmnopqrstuvw"), "abcdefghijklmnopqrst...")
        << "23 units are cut";
    EXPECT_EQ(ShortenName("report 2024 final   version 7.docx"), "report 2024 final...")
        << "a 30+ character name: 20 units, trailing spaces removed";

    // 22 CJK characters: 66 UTF-8 bytes but 22 UTF-16 units, so sent whole.
    std::string cjk22;
    for (int i = 0; i < 22; ++i) {
        cjk22 += "\xE6\x96\x87";  // U+6587
    }
    EXPECT_EQ(ShortenName(cjk22), cjk22);
    std::string cjk30 = cjk22 + cjk22.substr(0, 8 * 3);
    EXPECT_EQ(ShortenName(cjk30), cjk22.substr(0, 20 * 3) + "...");

    // 19 letters then an emoji (two units): unit 20 opens the pair, which is left out whole.
    std::string emoji = std::string(19, 'a') + "\xF0\x9F\x98\x80" + "bbbb";
    EXPECT_EQ(ShortenName(emoji), std::string(19, 'a') + "...");
    // An ideographic space before the cut counts as trailing white space.
    std::string ideographic = std::string(19, 'a') + "\xE3\x80\x80" + "cccc";
    EXPECT_EQ(ShortenName(ideographic), std::string(19, 'a') + "...");
}

TEST(LinkEncoderTest, NamesAreEscapedSoTheMessageStaysJson) {
    const std::string odd = "a\"b\\c\nd\x01";
    EXPECT_EQ(NameEntry(odd), "a\\\"b\\\\c\\nd\\u0001");
    std::string message = ComposeUpdateMsg(Out::kUploadsFailed, {NameEntry(odd)});
    EXPECT_TRUE(ParsesAsJson(message)) << message;
    message =
        ComposeUpdateMsg(Out::kEditDnldProgress, {EditDnldProgressEntry(1, 2, 3, odd, "null\n")});
    EXPECT_TRUE(ParsesAsJson(message)) << message;
}

TEST(LinkEncoderTest, RepliesNoticesAndKeepAliveAreTheTypeAlone) {
    EXPECT_EQ(SimpleMsg(Out::kHelloReply), R"({"type":0})");
    EXPECT_EQ(SimpleMsg(Out::kCookiesReply), R"({"type":13})");
    EXPECT_EQ(SimpleMsg(Out::kUploadsStarted), R"({"type":7})");
    EXPECT_EQ(SimpleMsg(Out::kAllEnded), R"({"type":12})");
    EXPECT_EQ(KeepAliveMsg(), R"({"type":23})");

    // Only the state notices go out as simple messages; the replies have their own moment.
    for (Out type : {Out::kUploadsStarted, Out::kNothingToUpload, Out::kWindowHidden,
                     Out::kBatchInterrupted, Out::kAllEnded}) {
        EXPECT_TRUE(IsSimple(type)) << Number(type);
    }
    for (Out type : {Out::kHelloReply, Out::kUploadsFailed, Out::kCookiesReply, Out::kKeepAlive}) {
        EXPECT_FALSE(IsSimple(type)) << Number(type);
    }
}

// A file's "created" is queued after its "complete" may already wait for another file; its
// message must still go out first. Everything else keeps the order it was queued in.
TEST(LinkEncoderTest, CreatedGoesAheadOfWaitingProgressCompleteAndRemoval) {
    std::vector<Out> pending;
    AddPendingUpdate(pending, Out::kFolderCreated);
    AddPendingUpdate(pending, Out::kUploadsFailed);
    AddPendingUpdate(pending, Out::kUploadComplete);
    AddPendingUpdate(pending, Out::kUploadRemoved);
    AddPendingUpdate(pending, Out::kUploadCreated);
    AddPendingUpdate(pending, Out::kUploadComplete);  // waits already: keeps its place
    EXPECT_EQ(pending,
              (std::vector<Out>{Out::kFolderCreated, Out::kUploadsFailed, Out::kUploadCreated,
                                Out::kUploadComplete, Out::kUploadRemoved}));

    pending = {Out::kUploadProgress};
    AddPendingUpdate(pending, Out::kUploadCreated);
    AddPendingUpdate(pending, Out::kUploadsFinished);
    EXPECT_EQ(pending,
              (std::vector<Out>{Out::kUploadCreated, Out::kUploadProgress, Out::kUploadsFinished}));
}
