#include <gtest/gtest.h>

#include <json/reader.h>

#include <memory>
#include <string>
#include <vector>

#include "link/LinkMessageWriter.h"

namespace {

bool ParsesAsJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
}

}  // namespace

TEST(LinkMessageWriterTest, NameListsWithNothingToReport) {
    // Finished names report an empty list; transfer and failed names become the keep-alive.
    EXPECT_EQ(LinkMessageWriter::ComposeUpdateMsg(3, {}), R"({"type":3,"files":[]})");
    EXPECT_EQ(LinkMessageWriter::ComposeUpdateMsg(4, {}), R"({"type":4,"files":[]})");
    for (int type : {1, 2, 5, 6, 14, 15, 16, 17, 18, 19, 20, 21}) {
        EXPECT_EQ(LinkMessageWriter::ComposeUpdateMsg(type, {}), R"({"type":23})") << type;
    }
    EXPECT_EQ(LinkMessageWriter::ComposeUpdateMsg(22, {"x"}), R"({"type":23})");
    EXPECT_EQ(LinkMessageWriter::ComposeUpdateMsg(0, {"x"}), R"({"type":23})");
}

TEST(LinkMessageWriterTest, NameAndObjectListsByteForByte) {
    EXPECT_EQ(LinkMessageWriter::ComposeUpdateMsg(1, {"a.txt", "b"}),
              R"({"type":1,"files":["a.txt","b"]})");
    EXPECT_EQ(LinkMessageWriter::ComposeUpdateMsg(15, {LinkMessageWriter::UpldProgressEntry(7, 8, 100, 50),
                                                       LinkMessageWriter::UpldProgressEntry(-1, 0, 0, 0)}),
              R"({"type":15,"files":[{"fid":7,"pid":8,"size":100,"position":50},{"fid":-1,"pid":0,"size":0,"position":0}]})");
    EXPECT_EQ(LinkMessageWriter::ComposeUpdateMsg(17, {LinkMessageWriter::UpldRemovedEntry(9223372036854775807, 3)}),
              R"({"type":17,"files":[{"fid":9223372036854775807,"pid":3}]})");
}

TEST(LinkMessageWriterTest, InfoAndTokenAreInsertedAsCompactJsonWithItsNewline) {
    Json::Value info;
    info["fid"] = 12;
    info["name"] = "a \"b\".txt";
    const std::string infoText = LinkMessageWriter::CompactJson(info);
    EXPECT_EQ(infoText, "{\"fid\":12,\"name\":\"a \\\"b\\\".txt\"}\n");
    EXPECT_EQ(LinkMessageWriter::ComposeUpdateMsg(14, {LinkMessageWriter::UpldInfoEntry(12, 3, infoText)}),
              "{\"type\":14,\"files\":[{\"fid\":12,\"pid\":3,\"info\":" + infoText + "}]}");

    const std::string token = LinkMessageWriter::CompactJson(Json::Value("tok"));
    EXPECT_EQ(LinkMessageWriter::EditDnldProgressEntry(5, 10, 4, "doc.txt", token),
              "\"fid\":5,\"size\":10,\"position\":4,\"name\":\"doc.txt\",\"token\":\"tok\"\n");
    EXPECT_EQ(LinkMessageWriter::EditDnldResultEntry(5, "doc.txt", token),
              "\"fid\":5,\"name\":\"doc.txt\",\"token\":\"tok\"\n");
    // A missing token must not leave "token": without a value.
    EXPECT_TRUE(ParsesAsJson(LinkMessageWriter::ComposeUpdateMsg(
        20, {LinkMessageWriter::EditDnldResultEntry(5, "x", "")})));
}

TEST(LinkMessageWriterTest, NamesAreShortenedInUtf16Units) {
    EXPECT_EQ(LinkMessageWriter::ShortenName("abcdefghijklmnopqrstuv"), "abcdefghijklmnopqrstuv")
        << "22 units are sent whole";
    EXPECT_EQ(LinkMessageWriter::ShortenName("abcdefghijklmnopqrstuvw"), "abcdefghijklmnopqrst...")
        << "23 units are cut";
    EXPECT_EQ(LinkMessageWriter::ShortenName("report 2024 final   version 7.docx"),
              "report 2024 final...") << "a 30+ character name: 20 units, trailing spaces removed";

    // 22 CJK characters: 66 UTF-8 bytes but 22 UTF-16 units, so sent whole.
    std::string cjk22;
    for (int i = 0; i < 22; ++i) {
        cjk22 += "\xE6\x96\x87";  // U+6587
    }
    EXPECT_EQ(LinkMessageWriter::ShortenName(cjk22), cjk22);
    std::string cjk30 = cjk22 + cjk22.substr(0, 8 * 3);
    EXPECT_EQ(LinkMessageWriter::ShortenName(cjk30), cjk22.substr(0, 20 * 3) + "...");

    // 19 letters then an emoji (two units): unit 20 opens the pair, which is left out whole.
    std::string emoji = std::string(19, 'a') + "\xF0\x9F\x98\x80" + "bbbb";
    EXPECT_EQ(LinkMessageWriter::ShortenName(emoji), std::string(19, 'a') + "...");
    // An ideographic space before the cut counts as trailing white space.
    std::string ideographic = std::string(19, 'a') + "\xE3\x80\x80" + "cccc";
    EXPECT_EQ(LinkMessageWriter::ShortenName(ideographic), std::string(19, 'a') + "...");
}

TEST(LinkMessageWriterTest, NamesAreEscapedSoTheMessageStaysJson) {
    const std::string odd = "a\"b\\c\nd\x01";
    EXPECT_EQ(LinkMessageWriter::NameEntry(odd), "a\\\"b\\\\c\\nd\\u0001");
    std::string message = LinkMessageWriter::ComposeUpdateMsg(5, {LinkMessageWriter::NameEntry(odd)});
    EXPECT_TRUE(ParsesAsJson(message)) << message;
    message = LinkMessageWriter::ComposeUpdateMsg(
        19, {LinkMessageWriter::EditDnldProgressEntry(1, 2, 3, odd, "null\n")});
    EXPECT_TRUE(ParsesAsJson(message)) << message;
}
