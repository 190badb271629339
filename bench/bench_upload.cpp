// Upload transfer throughput: files of 1 GiB (ZORP_BENCH_MIB changes it) uploaded by upload tasks
// on the upload pool, beside a plain libcurl loop that posts the same 128 KiB multipart chunks
// on one reused handle, against the same server:
//   - zorp-cloud on loopback (stores and hashes what it receives);
//   - a sink on loopback that only reads each request and acknowledges it, so that what is
//     left is the client's own cost.
// The loop runs three ways: chunks from memory (the bare HTTP cost, the reference of the
// targets), chunks read from the file into a buffer (the same reads as the task), and chunks
// read from the file straight into libcurl's send buffer. The tasks run alone, then three at
// once; the files sit in the page cache (written just before). Prints MB/s and the ratios the
// targets are stated in: one task at 0.90 or more of the loop from memory, three tasks at
// 1.5 times one task or more.
//
//     build/default/bin/bench_upload [--benchmark_filter=target:1]   (0 zorp-cloud, 1 sink)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AckSink.h"
#include "BenchCloud.h"
#include "cloud/CRequestContext.h"
#include "core/Options.h"
#include "core/TaskState.h"
#include "core/WindowMessages.h"
#include "platform/ChildProcess.h"
#include "platform/LoopbackListener.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "platform/SequentialFile.h"
#include "platform/SystemInfo.h"
#include "platform/TcpConnection.h"
#include "upload/CUpldThreadMgr.h"
#include "upload/CUploaderMgr.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kChunk = 131072;

// A file on disk made of one 128 KiB block repeated; its hash needs only the block's digest.
struct BenchFile {
    fs::path path;
    std::string block;
    int64_t size = 0;
    std::string hash;

    bool Create(const fs::path& where, uint32_t seed, int64_t bytes) {
        const bench::RepeatedBlock content(seed, bytes);
        path = where;
        size = bytes;
        block = content.block;
        hash = content.hash;
        std::ofstream out(path, std::ios::binary);
        for (int64_t at = 0; at < size; at += kChunk) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        return static_cast<bool>(out.flush());
    }
};

// ---- set-up shared by the benchmarks ----

struct Setup {
    fs::path home;
    std::unique_ptr<platform::ChildProcess> server;
    int serverPort = 0;
    bench::AckSink sink;
    int64_t bytes = 0;
    std::vector<BenchFile> files;
    std::map<std::string, double> best;  // MB/s of each benchmark
} g;

enum Target { kCloud = 0, kSink = 1 };
const char* TargetName(int target) {
    return target == kCloud ? "zorp-cloud" : "sink";
}

void UseTarget(int target) {
    const int port = target == kCloud ? g.serverPort : g.sink.Port();
    std::ofstream(g.home / "config" / "zorp" / "appConfig")
        << "{\"host\": \"web.localhost:" << port << "\"}";
    COptions::GetInstance().GenerateUrls();
}

void Record(benchmark::State& state, const std::string& name, int64_t bytes, double seconds) {
    const double mbps = static_cast<double>(bytes) / seconds / 1e6;
    state.SetIterationTime(seconds);
    state.counters["MB/s"] = mbps;
    g.best[name] = std::max(g.best[name], mbps);
}

void DeleteOnServer(int target, int64_t fid) {
    if (target == kCloud && fid > 0) {
        CRequestContext context;
        context.performRequest(RequestKind::kDeleteFile, RequestParams("").Add("fid", fid));
    }
}

// Counts the tasks' end messages, as the transfer manager window would receive them.
class EndCounter : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (message.id == WM_UPLD_END) {
            ++ends;
        }
        return 0;
    }
    int ends = 0;
};

// Uploads the first `count` files at once through upload tasks; seconds, 0 on failure. The
// thread waits in a message loop for the end messages, as the window thread does.
double UploadThroughTasks(benchmark::State& state, int target, int count) {
    static int32_t taskIndex = 0;
    platform::PlainMessageLoop loop;
    EndCounter window;
    const platform::WindowHandle handle = window.Attach(&loop);
    std::vector<std::shared_ptr<CUploaderMgr>> tasks;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const BenchFile& file = g.files[static_cast<size_t>(i)];
        CUploadParam param;
        param.taskIndex = ++taskIndex;
        param.window = handle;
        param.folder = file.path.parent_path();
        param.name = file.path.filename().string();
        param.fileSize = file.size;
        param.hash = file.hash;
        auto task = CUploaderMgr::Create(param);
        if (task->Start() != 0) {
            state.SkipWithError("task did not start");
            return 0;
        }
        tasks.push_back(task);
    }
    loop.RunUntil([&] { return window.ends == count; }, 600000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    bool ok = true;
    for (const auto& task : tasks) {
        ok = ok && task->GetState() == TSE_COMPLETED;
        DeleteOnServer(target, task->GetParam().fid);
    }
    if (!ok) {
        state.SkipWithError((std::string("upload failed: ") + tasks[0]->GetStatus().text).c_str());
        return 0;
    }
    return seconds;
}

void BM_TaskUpload(benchmark::State& state) {
    const int target = static_cast<int>(state.range(0));
    const int count = static_cast<int>(state.range(1));
    UseTarget(target);
    for (auto _ : state) {
        const double seconds = UploadThroughTasks(state, target, count);
        if (seconds <= 0) {
            return;
        }
        Record(state, std::string(TargetName(target)) + (count == 1 ? " task x1" : " task x3"),
               g.bytes * count, seconds);
    }
}

struct FileSource {
    platform::SequentialFile* file;
    size_t size;
    size_t offset;
};

size_t ReadFromFile(char* buffer, size_t size, size_t count, void* source) {
    auto* chunk = static_cast<FileSource*>(source);
    const size_t n = std::min(size * count, chunk->size - chunk->offset);
    const int64_t got = chunk->file->Read(buffer, n);
    chunk->offset += static_cast<size_t>(std::max<int64_t>(got, 0));
    return got < 0 ? CURL_READFUNC_ABORT : static_cast<size_t>(got);
}

// The reference: one handle, one 128 KiB multipart POST per chunk, the reply discarded.
void BM_LibcurlLoop(benchmark::State& state) {
    const int target = static_cast<int>(state.range(0));
    const bool fromFile = state.range(1) != 0;
    const bool direct = state.range(1) == 2;
    UseTarget(target);
    const BenchFile& file = g.files[0];
    const std::string base = COptions::GetInstance().GetUrls().breakPointUpload;
    std::vector<char> buffer(kChunk);
    for (auto _ : state) {
        CRequestContext init;
        auto reply = init.performRequest(
            RequestKind::kUploadInit,
            RequestParams("").Add("pid", 0).AddText("name", "loop.bin").Add("size", file.size));
        const int64_t fid = reply.File()["id"].asInt64();
        platform::SequentialFile input;
        if (fid <= 0 || (fromFile && !input.Open(file.path))) {
            state.SkipWithError("init failed");
            return;
        }
        CURL* curl = curl_easy_init();
        bool ok = true;
        const auto start = Clock::now();
        for (int64_t at = 0; at < file.size && ok; at += kChunk) {
            const char* data = file.block.data();
            if (fromFile && !direct) {
                ok = input.Read(buffer.data(), kChunk) == static_cast<int64_t>(kChunk);
                data = buffer.data();
            }
            const std::string url = base + "fid=" + std::to_string(fid) +
                                    "&breakPoint=" + std::to_string(at) + "&hash=" + file.hash +
                                    "&size=" + std::to_string(file.size);
            bench::ChunkSource source{data, kChunk, 0};
            FileSource fileSource{&input, kChunk, 0};
            curl_mime* mime = curl_mime_init(curl);
            curl_mimepart* part = curl_mime_addpart(mime);
            curl_mime_name(part, "file");
            curl_mime_filename(part, "loop.bin");
            if (direct) {
                curl_mime_data_cb(part, kChunk, &ReadFromFile, nullptr, nullptr, &fileSource);
            } else {
                curl_mime_data_cb(part, kChunk, &bench::ReadChunk, nullptr, nullptr, &source);
            }
            curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
            curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &bench::Discard);
            ok = ok && curl_easy_perform(curl) == CURLE_OK;
            curl_mime_free(mime);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        curl_easy_cleanup(curl);
        DeleteOnServer(target, fid);
        if (!ok) {
            state.SkipWithError("libcurl loop failed");
            return;
        }
        Record(state,
               std::string(TargetName(target)) + (direct     ? " loop file direct"
                                                  : fromFile ? " loop file"
                                                             : " loop memory"),
               g.bytes, seconds);
    }
}

bool StartServer() {
    g.serverPort = bench::StartCloud(g.server, g.home / "data");
    return g.serverPort != 0;
}

bool Prepare() {
    g.home = bench::MakeHome();
    if (g.home.empty()) {
        return false;
    }
    fs::create_directories(g.home / "config" / "zorp");
    fs::create_directories(g.home / "files");
    if (!StartServer() || !g.sink.Start()) {
        return false;
    }
    g.files.resize(3);
    for (uint32_t i = 0; i < 3; ++i) {
        if (!g.files[i].Create(g.home / "files" / ("upload" + std::to_string(i) + ".bin"), i + 1,
                               g.bytes)) {
            return false;
        }
    }
    return CUpldThreadMgr::GetInstance().Start();
}

}  // namespace

BENCHMARK(BM_LibcurlLoop)
    ->ArgsProduct({{kCloud, kSink}, {0, 1, 2}})
    ->ArgNames({"target", "file"})
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TaskUpload)
    ->ArgsProduct({{kCloud, kSink}, {1, 3}})
    ->ArgNames({"target", "files"})
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    const char* mib = std::getenv("ZORP_BENCH_MIB");
    g.bytes = (mib ? std::atoll(mib) : 1024) * 1024 * 1024;
    g.bytes -= g.bytes % static_cast<int64_t>(kChunk);
    benchmark::Initialize(&argc, argv);
    const bool ready = Prepare();
    if (ready) {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    CUpldThreadMgr::GetInstance().Stop();
    g.sink.Stop();
    bench::EndCloud(g.server, g.home);
    if (!ready) {
        std::fprintf(stderr, "could not prepare the files, zorp-cloud or the sink\n");
        return 1;
    }

    std::printf("\n%-24s %10s\n", "upload", "best MB/s");
    for (const auto& [name, mbps] : g.best) {
        std::printf("%-24s %10.0f\n", name.c_str(), mbps);
    }
    auto ratio = [](const std::string& a, const std::string& b) {
        const double d = g.best[b];
        return d > 0 ? g.best[a] / d : 0.0;
    };
    for (const char* target : {"zorp-cloud", "sink"}) {
        const std::string t(target);
        std::printf("%-10s one task / loop from memory: %.2f (target 0.90)\n", target,
                    ratio(t + " task x1", t + " loop memory"));
        std::printf("%-10s one task / loop from file:   %.2f\n", target,
                    ratio(t + " task x1", t + " loop file"));
        std::printf("%-10s three tasks / one task:      %.2f (target 1.50)\n", target,
                    ratio(t + " task x3", t + " task x1"));
    }
    return 0;
}
