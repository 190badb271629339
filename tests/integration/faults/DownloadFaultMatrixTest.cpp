// Every server fault at every cut point of one download: once the fault has cleared the file
// lands byte for byte, or the task failed with a text for the user, nothing under the file's
// name, and a second run delivers it. Content that is not the cloud file's is never delivered.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <tuple>

#include "FaultCutPoints.h"
#include "integration/download/DownloadFixture.h"
#include "support/ScopedTimeScale.h"

namespace zorp::test {
namespace {

namespace fs = std::filesystem;

enum class DownloadFault {
    kHttp500,
    kHttp404,
    kDrop,
    kStall,
    kMalformed,
    kHtml,
    kWrongBreakPoint,
    kCorrupt
};

struct DownloadFaultCase {
    DownloadFault fault;
    const char* name;
    bool withHash;  // the page named the file's hash
    bool retried;   // the task's own retries get past the fault: the first run completes
};

const DownloadFaultCase kDownloadFaults[] = {
    {DownloadFault::kHttp500, "Http500", true, false},
    {DownloadFault::kHttp404, "Http404", true, false},
    {DownloadFault::kDrop, "Drop", true, true},
    {DownloadFault::kStall, "Stall", true, true},
    {DownloadFault::kMalformed, "Malformed", true, false},
    {DownloadFault::kHtml, "Html", true, false},
    {DownloadFault::kWrongBreakPoint, "WrongBreakPoint", true, false},
    {DownloadFault::kCorrupt, "Corrupt", true, true},
    // Without a hash only the reply itself tells a file part from anything else.
    {DownloadFault::kHttp500, "Http500NoHash", false, false},
    {DownloadFault::kDrop, "DropNoHash", false, true},
    {DownloadFault::kStall, "StallNoHash", false, true},
    {DownloadFault::kMalformed, "MalformedNoHash", false, false},
    {DownloadFault::kHtml, "HtmlNoHash", false, false},
    {DownloadFault::kWrongBreakPoint, "WrongBreakPointNoHash", false, false},
};

void PrintTo(const DownloadFaultCase& fault, std::ostream* os) { *os << fault.name; }

class DownloadFaultMatrixTest
    : public DownloadFixture,
      public ::testing::WithParamInterface<std::tuple<DownloadFaultCase, CutPoint>> {
protected:
    // A byte fault strikes at the cut in the first reply's body. A reply fault strikes the
    // request that asks from the cut: for a cut past 0 the first connection falls there.
    void Arm(DownloadFault fault, int64_t cut) {
        const std::string at = std::to_string(cut);
        const bool resumed = cut > 0;
        const std::string skip = resumed ? "1" : "0";
        auto dropAtCut = [&] {
            return !resumed || server.SetFault("download", "drop", {{"bytes", at}});
        };
        bool armed = false;
        switch (fault) {
            case DownloadFault::kHttp500:
                armed = dropAtCut() &&
                        server.SetFault("download", "http", {{"code", "500"}, {"skip", skip}});
                break;
            case DownloadFault::kHttp404:
                armed = dropAtCut() &&
                        server.SetFault("download", "http", {{"code", "404"}, {"skip", skip}});
                break;
            case DownloadFault::kDrop:
                armed = server.SetFault("download", "drop", {{"bytes", at}});
                break;
            case DownloadFault::kStall:
                armed = server.SetFault("download", "stall", {{"ms", "3000"}, {"bytes", at}});
                break;
            case DownloadFault::kMalformed:
                armed = dropAtCut() && server.SetFault("download", "malformed", {{"skip", skip}});
                break;
            case DownloadFault::kHtml:
                armed = dropAtCut() && server.SetFault("download", "html", {{"skip", skip}});
                break;
            case DownloadFault::kWrongBreakPoint:
                // Asked from the cut, the server sends from one byte further on.
                armed = dropAtCut() &&
                        server.SetFault("download", "breakpoint",
                                        {{"breakPoint", std::to_string(cut + 1)}, {"skip", skip}});
                break;
            case DownloadFault::kCorrupt:
                armed = server.SetFault("download", "corrupt", {{"offset", at}});
                break;
        }
        ASSERT_TRUE(armed);
    }

    void ExpectDelivered(const CDownloadParam& param, const std::string& content) {
        const std::string landed = ReadFile(param.LocalPath());
        EXPECT_EQ(landed.size(), content.size());
        EXPECT_EQ(WholeDigest(landed), WholeDigest(content));
    }
};

TEST_P(DownloadFaultMatrixTest, LandsByteIdenticalOrFailsClearly) {
    const auto& [fault, cut] = GetParam();
    ScopedTimeScale shortDelays(0.05);  // a silent connection is given up after a second
    const CloudFile file = Plant("cloud.bin", kFaultFileSize, 40);
    const CDownloadParam param = Param(file, "landed.bin", kFaultFileSize, fault.withHash);
    Arm(fault.fault, cut.offset);

    auto task = StartTask(param);
    auto end = WaitEnd(param.taskId, 1, 40000);
    ASSERT_TRUE(end) << "no end within 40 s";
    EXPECT_EQ(server.State()["faults"].size(), 0u) << "the fault was aimed where no request went";
    RecordProperty("first_run", end->status.state == TSE_COMPLETED
                                    ? std::string("completed")
                                    : "failed: " + end->status.text);
    if (end->status.state == TSE_COMPLETED) {
        ExpectDelivered(param, file.content);
        return;
    }
    EXPECT_FALSE(fault.retried) << "the task's retries should have carried it past the fault: "
                                << end->status.text;
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_FALSE(end->status.text.empty()) << "a failure the page can tell the user about";
    EXPECT_FALSE(fs::exists(param.LocalPath())) << "nothing under the file's name";

    // The fault has cleared: the user starts the task again, and the file lands.
    ASSERT_TRUE(server.ClearFaults());
    ASSERT_EQ(task->Start(), 0);
    end = WaitEnd(param.taskId, 2, 40000);
    ASSERT_TRUE(end) << "no end of the second run";
    ASSERT_EQ(end->status.state, TSE_COMPLETED) << end->status.text;
    ExpectDelivered(param, file.content);
}

// Without a hash nothing after the transfer can tell a wrong content: a page, an envelope or a
// part from the wrong place must be refused as it arrives. Refused every time, the task fails
// and the bytes cached before stay (the next run goes on from them).
class DownloadReplyCheckTest : public DownloadFixture {};

TEST_F(DownloadReplyCheckTest, APageAnEnvelopeOrAShortPartIsNeverDeliveredAsTheFile) {
    ScopedTimeScale shortDelays(0.05);
    const CloudFile file = Plant("cloud.bin", kFaultFileSize, 41);
    struct Case {
        const char* kind;
        std::map<std::string, std::string> values;
    };
    const Case cases[] = {
        {"html", {{"count", "1000"}}},
        {"malformed", {{"count", "1000"}}},
        {"breakpoint", {{"count", "1000"}, {"breakPoint", std::to_string(kFaultChunk + 1)}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        ASSERT_TRUE(server.ClearFaults());
        const CDownloadParam param =
            Param(file, std::string("refused-") + c.kind + ".bin", kFaultFileSize);
        // A first connection brought the first chunk; every later reply is refused.
        ASSERT_TRUE(server.SetFault("download", "drop", {{"bytes", std::to_string(kFaultChunk)}}));
        auto values = c.values;
        values["skip"] = "1";
        ASSERT_TRUE(server.SetFault("download", c.kind, values));
        StartTask(param);
        auto end = WaitEnd(param.taskId, 1, 40000);
        ASSERT_TRUE(end);
        EXPECT_EQ(end->status.state, TSE_FAILED);
        EXPECT_EQ(end->status.text, "Transmission Error");
        EXPECT_FALSE(fs::exists(param.LocalPath()));
        EXPECT_EQ(ReadFile(CacheFile(param)), file.content.substr(0, kFaultChunk))
            << "nothing of a refused reply reaches the cache";
        // The dropped first connection spent one of the options' five retries, the refused
        // replies the other four, and the last refusal ended the run.
        EXPECT_EQ(BreakPoints(), (std::vector<int64_t>{0, kFaultChunk, kFaultChunk, kFaultChunk,
                                                       kFaultChunk, kFaultChunk}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Download, DownloadFaultMatrixTest,
    ::testing::Combine(::testing::ValuesIn(kDownloadFaults), ::testing::ValuesIn(AllCutPoints())),
    [](const ::testing::TestParamInfo<DownloadFaultMatrixTest::ParamType>& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace zorp::test
