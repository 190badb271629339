// The header probe's reading of reply lines: status lines, 64-bit sizes, and only the final
// reply of a redirect counting.
#include <gtest/gtest.h>

#include "download/CDownloaderMgr.h"
#include "download/CHeaderDownloader.h"

namespace {

TEST(HeaderDownloaderTest, SizesAreReadAsSixtyFourBitNumbers) {
    auto task = CDownloaderMgr::Create(CDownloadParam{});
    CHeaderDownloader probe(task, nullptr);
    probe.OnHeaderLine("HTTP/1.1 206 Partial Content\r\n");
    probe.OnHeaderLine("Content-Range: bytes 0-0/2147483649\r\n");
    probe.OnHeaderLine("Content-Length: 1\r\n");
    probe.OnHeaderLine("Accept-Ranges: bytes\r\n");
    EXPECT_EQ(probe.GetHttpCode(), 206);
    EXPECT_EQ(probe.GetRangeTotal(), int64_t{2147483649});
    EXPECT_EQ(probe.GetContentLength(), 1);
    EXPECT_TRUE(probe.RangesAccepted());
    EXPECT_EQ(probe.GetStatusText(), "HTTP/1.1 206 Partial Content");

    probe.OnHeaderLine("HTTP/1.1 200 OK\r\n");
    probe.OnHeaderLine("content-length: 4294967296000\r\n");
    EXPECT_EQ(probe.GetContentLength(), int64_t{4294967296000}) << "names in any case";
    EXPECT_EQ(probe.GetRangeTotal(), -1) << "a new reply clears what the last one said";
    probe.OnHeaderLine("Content-Length: 12abc\r\n");
    EXPECT_EQ(probe.GetContentLength(), int64_t{4294967296000}) << "no number, no change";
}

TEST(HeaderDownloaderTest, OnlyTheFinalReplyOfARedirectCounts) {
    auto task = CDownloaderMgr::Create(CDownloadParam{});
    CHeaderDownloader probe(task, nullptr);
    probe.OnHeaderLine("HTTP/1.1 302 Found\r\n");
    probe.OnHeaderLine("Content-Length: 99\r\n");
    probe.OnHeaderLine("Location: http://elsewhere/\r\n");
    probe.OnHeaderLine("HTTP/1.0 404 Not Found\r\n");
    EXPECT_EQ(probe.GetHttpCode(), 404);
    EXPECT_EQ(probe.GetContentLength(), -1);
    EXPECT_EQ(probe.GetStatusText(), "HTTP/1.0 404 Not Found") << "without CR and LF";
    probe.OnHeaderLine("Content-Range: bytes */500\r\n");
    EXPECT_EQ(probe.GetRangeTotal(), 500);
}

}  // namespace
