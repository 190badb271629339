// Every server fault at every cut point of one upload: once the fault has cleared the server
// holds the file byte for byte, or the task failed with something the page can show and a
// second run puts it there. A completion is never reported for content the server lacks.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "FaultCutPoints.h"
#include "integration/upload/UploadFixture.h"
#include "support/ScopedTimeScale.h"

namespace zorp::test {
namespace {

enum class UploadFault {
    kHttp500,
    kHttp404,
    kDrop,
    kStall,
    kMalformed,
    kHtml,
    kWrongBreakPoint,
    kWrongBreakPointOnRetry
};

struct UploadFaultCase {
    UploadFault fault;
    const char* name;
    // Whether the task's own retries get past the fault, so the first run must complete.
    bool retried;
};

const UploadFaultCase kUploadFaults[] = {
    {UploadFault::kHttp500, "Http500", false},
    {UploadFault::kHttp404, "Http404", false},
    {UploadFault::kDrop, "Drop", true},
    {UploadFault::kStall, "Stall", true},
    {UploadFault::kMalformed, "Malformed", true},
    {UploadFault::kHtml, "Html", true},
    {UploadFault::kWrongBreakPoint, "WrongBreakPoint", false},
    {UploadFault::kWrongBreakPointOnRetry, "WrongBreakPointOnRetry", false},
};

void PrintTo(const UploadFaultCase& fault, std::ostream* os) { *os << fault.name; }

class UploadFaultMatrixTest
    : public UploadFixture,
      public ::testing::WithParamInterface<std::tuple<UploadFaultCase, CutPoint>> {
protected:
    // Aims the fault at the chunk that carries the cut point's byte; the chunks before it pass.
    void Arm(UploadFault fault, int64_t cut) {
        const std::string skip = std::to_string(cut / kFaultChunk);
        const std::string inChunk = std::to_string(cut % kFaultChunk);
        bool armed = false;
        switch (fault) {
            case UploadFault::kHttp500:
                armed = server.SetFault("upload", "http", {{"code", "500"}, {"skip", skip}});
                break;
            case UploadFault::kHttp404:
                armed = server.SetFault("upload", "http", {{"code", "404"}, {"skip", skip}});
                break;
            case UploadFault::kDrop:
                // The connection falls after as many bytes of the chunk's body as lie before the
                // cut in the chunk.
                armed = server.SetFault("upload", "drop", {{"bytes", inChunk}, {"skip", skip}});
                break;
            case UploadFault::kStall:
                // Longer than the (shortened) stall limit: the chunk is given up and retried.
                armed = server.SetFault("upload", "stall", {{"ms", "3000"}, {"skip", skip}});
                break;
            case UploadFault::kMalformed:
                armed = server.SetFault("upload", "malformed", {{"skip", skip}});
                break;
            case UploadFault::kHtml:
                armed = server.SetFault("upload", "html", {{"skip", skip}});
                break;
            case UploadFault::kWrongBreakPoint:
                // The registration says the server holds the bytes up to the cut (at the cut 0:
                // one byte) while it holds none.
                armed = server.SetFault("uploadInit", "breakpoint",
                                        {{"breakPoint", std::to_string(cut)}});
                break;
            case UploadFault::kWrongBreakPointOnRetry:
                // The chunk with the cut gets a page for a reply, and the file information the
                // retry asks for says the server holds one byte past the cut. (A dropped
                // connection would not do: libcurl sends the request again by itself on a
                // fresh connection when a reused one falls before the reply.)
                armed = server.SetFault("upload", "html", {{"skip", skip}}) &&
                        server.SetFault("getFile", "breakpoint",
                                        {{"breakPoint", std::to_string(cut + 1)}});
                break;
        }
        ASSERT_TRUE(armed);
    }

    // The server calls the file complete and its content is the local file's, whole.
    void ExpectServerHolds(int64_t fid, const std::string& data) {
        const Json::Value file = ServerFile(fid);
        EXPECT_EQ(file["status"].asInt(), 1) << file.toStyledString();
        const std::string held = Download(fid);
        EXPECT_EQ(held.size(), data.size());
        EXPECT_EQ(WholeDigest(held), WholeDigest(data));
    }

    static bool Succeeded(const TaskWindow::End& end) {
        return end.status.state == TSE_COMPLETED || end.status.state == TSE_SERVER_COMPLETED;
    }
};

TEST_P(UploadFaultMatrixTest, EndsByteIdenticalOrFailsClearly) {
    const auto& [fault, cut] = GetParam();
    ScopedTimeScale shortDelays(0.05);  // the stall limit down to libcurl's least, a second
    // Content of its own for each case: content the server holds already completes at once.
    const std::string data =
        TestBytes(static_cast<size_t>(kFaultFileSize),
                  static_cast<uint32_t>(100 + static_cast<int>(fault.fault) * 10 + cut.offset % 7));
    const CUploadParam param = MakeFile(std::string(fault.name) + cut.name + ".bin", data);
    Arm(fault.fault, cut.offset);

    auto task = StartTask(param);
    auto end = WaitEnd(param.taskIndex, 40000);
    ASSERT_TRUE(end) << "no end within 40 s";
    EXPECT_EQ(server.State()["faults"].size(), 0u) << "the fault was aimed where no request went";
    RecordProperty("first_run", Succeeded(*end) ? "completed" : "failed: " + end->status.text);
    if (Succeeded(*end)) {
        ASSERT_FALSE(end->end.isErrorCode);
        ExpectServerHolds(end->end.fid, data);
        return;
    }
    EXPECT_FALSE(fault.retried) << "the task's retries should have carried it past the fault: "
                                << end->status.text;
    EXPECT_EQ(end->status.state, TSE_FAILED);
    EXPECT_TRUE(!end->status.text.empty() || end->end.isErrorCode)
        << "a failure the page can tell the user about";
    // Whatever the server holds now, it does not call a file of other content complete.
    const auto& infos = taskWindow.infos[param.taskIndex];
    if (!infos.empty()) {
        const Json::Value file = ServerFile(infos.front().fid);
        if (file["status"].asInt() == 1) {
            EXPECT_EQ(WholeDigest(Download(infos.front().fid)), WholeDigest(data));
        }
    }

    // The fault has cleared: the user starts the task again, and it completes.
    ASSERT_TRUE(server.ClearFaults());
    taskWindow.ends.clear();
    task->SetParam(task->GetParam());
    ASSERT_EQ(task->Start(), 0);
    end = WaitEnd(param.taskIndex, 40000);
    ASSERT_TRUE(end) << "no end of the second run";
    ASSERT_TRUE(Succeeded(*end)) << end->status.text;
    ExpectServerHolds(end->end.fid, data);
}

INSTANTIATE_TEST_SUITE_P(
    Upload, UploadFaultMatrixTest,
    ::testing::Combine(::testing::ValuesIn(kUploadFaults), ::testing::ValuesIn(AllCutPoints())),
    [](const ::testing::TestParamInfo<UploadFaultMatrixTest::ParamType>& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace zorp::test
