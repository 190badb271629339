#include "cloud/HttpStatusLine.h"

#include <gtest/gtest.h>

namespace {

TEST(HttpStatusLineTest, StatusLinesWithAndWithoutAVersionGiveTheirCodeOthersGiveNone) {
    EXPECT_EQ(HttpStatusLine::Code("HTTP/1.1 206 Partial Content\r\n"), 206);
    EXPECT_EQ(HttpStatusLine::Code("HTTP/2 200\r\n"), 200) << "libcurl's line for HTTP/2";
    EXPECT_EQ(HttpStatusLine::Code("HTTP/3 404\r\n"), 404);
    EXPECT_EQ(HttpStatusLine::Code("HTTP 200\r\n"), 200);
    EXPECT_EQ(HttpStatusLine::Code("HTTP/1.1 abc\r\n"), 0);
    EXPECT_EQ(HttpStatusLine::Code("Content-Length: 200\r\n"), 0);
    EXPECT_EQ(HttpStatusLine::Code("HTTPX 200\r\n"), 0);
    EXPECT_EQ(HttpStatusLine::Code("HTTP/1.1 20\r\n"), 0);
    EXPECT_EQ(HttpStatusLine::Code("\r\n"), 0);
    EXPECT_EQ(HttpStatusLine::Trimmed("HTTP/1.1 404 Not Found\r\n"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(HttpStatusLine::Shown("a\r\n"), "a[0x0D][0x0A]");
}

}  // namespace
