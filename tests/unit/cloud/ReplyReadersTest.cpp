#include <gtest/gtest.h>

#include "cloud/CRequestContext.h"
#include "cloud/CloudFileEntry.h"
#include "cloud/ServerReply.h"
#include "cloud/UploadFileRecord.h"

namespace {

Json::Value Parse(const std::string& text) {
    Json::Value root;
    EXPECT_TRUE(CRequestContext::ParseReply(text, root)) << text;
    return root;
}

// jsoncpp throws when a number does not fit the type asked for, or when an array or a number
// is indexed by name; a reply of any shape must come out as empty members instead.
TEST(ReplyReadersTest, NumbersOutOfRangeAndWrongShapesReadAsMissingWithoutThrowing) {
    const Json::Value odd = Parse(
        R"({"id":18446744073709551615,"pid":1e300,"status":"1","type":[2],"size":12.5,)"
        R"("breakPoint":-9223372036854775808,"hash":7,"name":{"x":1}})");
    UploadFileRecord record;
    ASSERT_NO_THROW(record = UploadFileRecord::FromJson(odd));
    EXPECT_TRUE(record.present);
    EXPECT_FALSE(record.id.has_value()) << "past 2^63";
    EXPECT_FALSE(record.pid.has_value());
    EXPECT_FALSE(record.status.has_value()) << "text is no status";
    EXPECT_FALSE(record.IsComplete());
    EXPECT_FALSE(record.type.has_value());
    EXPECT_FALSE(record.size.has_value()) << "a fraction is no size";
    EXPECT_EQ(record.breakPoint, INT64_MIN);
    EXPECT_FALSE(record.hash.has_value());

    CloudFileEntry entry;
    ASSERT_NO_THROW(entry = CloudFileEntry::FromJson(odd));
    EXPECT_EQ(entry.id, 0);
    EXPECT_EQ(entry.pid, 0);
    EXPECT_EQ(entry.status, 1) << "a listing takes decimal text";
    EXPECT_EQ(entry.type, CloudFileEntry::kTypeFile);
    EXPECT_EQ(entry.size, 12);
    EXPECT_TRUE(entry.name.empty());
    EXPECT_EQ(CloudFileEntry::FromJson(Parse(R"({"size":"12abc","id":"-3"})")).size, 0);
    EXPECT_EQ(CloudFileEntry::FromJson(Parse(R"({"id":"-3"})")).id, -3);

    ServerReply reply;
    reply.parsed = true;
    for (const char* text : {R"({"status":18446744073709551615,"data":[1,2]})",
                             R"({"status":0,"data":{"file":3}})", R"([1])", R"("x")"}) {
        reply.root = Parse(text);
        ASSERT_NO_THROW(reply.Status()) << text;
        ASSERT_NO_THROW(reply.File()) << text;
        EXPECT_FALSE(reply.File().isObject()) << text;
        ASSERT_NO_THROW(CRequestContext::judgeReply(reply.root)) << text;
    }
    reply.root = Parse(R"({"status":18446744073709551615,"description":"x"})");
    EXPECT_EQ(reply.Status(), -1);
    EXPECT_FALSE(CRequestContext::judgeReply(reply.root));
    EXPECT_TRUE(CRequestContext::judgeReply(Parse(R"({"status":5,"description":"OK"})")));
}

}  // namespace
