#include "cloud/HttpHeaderLine.h"

#include <gtest/gtest.h>

namespace {

TEST(HttpHeaderLineTest, ValueOfTheNamedHeaderWithoutBlanksAndLineEnd) {
    EXPECT_EQ(HttpHeaderLine::Value("Content-Length: 4096\r\n", "Content-Length"), "4096");
    EXPECT_EQ(HttpHeaderLine::Value("content-length:\t 7 \r\n", "Content-Length"), "7");
    EXPECT_EQ(HttpHeaderLine::Value("Content-Length:\r\n", "Content-Length"), "");
    EXPECT_FALSE(HttpHeaderLine::Value("Content-Length-X: 1\r\n", "Content-Length"));
    EXPECT_FALSE(HttpHeaderLine::Value("Content-Lengt: 1\r\n", "Content-Length"));
    EXPECT_FALSE(HttpHeaderLine::Value("Content-Length", "Content-Length"));
    EXPECT_FALSE(HttpHeaderLine::Value("", "Content-Length"));
}

TEST(HttpHeaderLineTest, NumbersAreWholeSixtyFourBitTexts) {
    EXPECT_EQ(HttpHeaderLine::Number("0"), 0);
    EXPECT_EQ(HttpHeaderLine::Number("2147483649"), int64_t{2147483649});
    EXPECT_EQ(HttpHeaderLine::Number("9223372036854775807"), INT64_MAX);
    EXPECT_FALSE(HttpHeaderLine::Number("9223372036854775808"));
    EXPECT_FALSE(HttpHeaderLine::Number(""));
    EXPECT_FALSE(HttpHeaderLine::Number("12 "));
    EXPECT_FALSE(HttpHeaderLine::Number("0x10"));
}

TEST(HttpHeaderLineTest, MediaTypeIsTheLowerCaseTypeBeforeItsParameters) {
    EXPECT_EQ(HttpHeaderLine::MediaType("text/html;charset=UTF-8"), "text/html");
    EXPECT_EQ(HttpHeaderLine::MediaType("Application/JSON ; charset=utf-8"), "application/json");
    EXPECT_EQ(HttpHeaderLine::MediaType("application/octet-stream"), "application/octet-stream");
    EXPECT_EQ(HttpHeaderLine::MediaType(""), "");
}

}  // namespace
