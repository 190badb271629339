// Transfers through zorp-cloud on loopback, each beside the same transfer made by the curl
// command line against the same server:
//   - a 1 GiB upload as 128 KiB chunks, one multipart POST per chunk (the client's request
//     context with its handle kept; curl: one invocation reusing its connection for every
//     chunk), the server checking the content hash at the end;
//   - a 1 GiB download (the client discards the body; curl writes to /dev/null).
// The curl command line starts every URL of its list as a transfer of its own (about a
// millisecond each here), so beside it the upload also runs as a plain libcurl loop (one
// handle, the chunk read from memory, the reply not parsed): the client's own cost shows
// against that. Prints MB/s for each and the ratios. ZORP_BENCH_MIB changes the size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchCloud.h"
#include "cloud/CRequestContext.h"
#include "core/Options.h"
#include "platform/ChildProcess.h"
#include "platform/Shell.h"
#include "platform/SystemInfo.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 131072;

struct Setup {
    fs::path home;
    std::unique_ptr<platform::ChildProcess> server;
    int port = 0;
    int64_t bytes = 0;
    std::map<std::string, double> best;  // MB/s of each benchmark
} g;

using RepeatedFile = bench::RepeatedBlock;

int64_t InitUpload(const std::string& name, const RepeatedFile& file) {
    CRequestContext context;
    auto reply = context.performRequest(
        RequestKind::kUploadInit,
        RequestParams("").Add("pid", 0).AddText("name", name).Add("size", file.size));
    return reply.Succeeded() ? reply.File()["id"].asInt64() : -1;
}

void DeleteFile(int64_t fid) {
    CRequestContext context;
    context.performRequest(RequestKind::kDeleteFile, RequestParams("").Add("fid", fid));
}

void Record(benchmark::State& state, const std::string& name, double seconds) {
    const double mbps = static_cast<double>(g.bytes) / seconds / 1e6;
    state.SetIterationTime(seconds);
    state.counters["MB/s"] = mbps;
    g.best[name] = std::max(g.best[name], mbps);
}

std::string UploadUrl(int64_t fid, int64_t breakPoint, const RepeatedFile& file) {
    return "http://127.0.0.1:" + std::to_string(g.port) +
           "/qcd/filebackup/breakPointUploadAction.json?fid=" + std::to_string(fid) +
           "&breakPoint=" + std::to_string(breakPoint) + "&hash=" + file.hash +
           "&size=" + std::to_string(file.size);
}

uint32_t g_seed = 1;

void BM_ClientUpload(benchmark::State& state) {
    for (auto _ : state) {
        RepeatedFile file(g_seed++, g.bytes);
        const auto start = std::chrono::steady_clock::now();
        CRequestContext context(CRequestContext::HandlePolicy::kKeepForNext);
        auto init = context.performRequest(
            RequestKind::kUploadInit,
            RequestParams("").Add("pid", 0).AddText("name", "client.bin").Add("size", file.size));
        const int64_t fid = init.File()["id"].asInt64();
        bool complete = false;
        for (int64_t at = 0; at < file.size; at += kChunk) {
            auto reply = context.performUpload(
                RequestParams("").Add("fid", fid).Add("breakPoint", at).AddText("hash", file.hash)
                    .Add("size", file.size),
                "client.bin", file.block.data(), kChunk);
            if (!reply.Succeeded()) {
                state.SkipWithError(("chunk refused: " + reply.text).c_str());
                return;
            }
            complete = reply.File()["status"].asInt() == 1;
        }
        Record(state, "upload client",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!complete) {
            state.SkipWithError("the server did not complete the file");
        }
        DeleteFile(fid);
    }
}

void BM_CurlUpload(benchmark::State& state) {
    for (auto _ : state) {
        RepeatedFile file(g_seed++, g.bytes);
        const fs::path chunkFile = g.home / "chunk.bin";
        std::ofstream(chunkFile, std::ios::binary).write(file.block.data(), file.block.size());
        const int64_t fid = InitUpload("curl.bin", file);
        // One curl run: every chunk its own POST on the same connection.
        const fs::path config = g.home / "curl-upload.cfg";
        {
            std::ofstream out(config);
            for (int64_t at = 0; at < file.size; at += kChunk) {
                if (at > 0) {
                    out << "next\n";
                }
                out << "url = \"" << UploadUrl(fid, at, file) << "\"\n"
                    << "form = \"file=@" << chunkFile.string() << ";filename=curl.bin\"\n"
                    << "output = \"/dev/null\"\nsilent\n";
            }
        }
        const auto start = std::chrono::steady_clock::now();
        int rc = platform::RunProgram({"curl", "-K", config.string()}, 600000);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        CRequestContext context;
        auto info = context.performRequest(RequestKind::kGetFile, RequestParams("").Add("fid", fid));
        if (rc != 0 || info.File()["status"].asInt() != 1) {
            state.SkipWithError("curl upload failed");
            return;
        }
        Record(state, "upload curl", seconds);
        DeleteFile(fid);
    }
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

size_t ReadBlock(char* buffer, size_t size, size_t count, void* source) {
    auto* offset = static_cast<std::pair<const std::string*, size_t>*>(source);
    const size_t n = std::min(size * count, offset->first->size() - offset->second);
    std::memcpy(buffer, offset->first->data() + offset->second, n);
    offset->second += n;
    return n;
}

void BM_LibcurlLoopUpload(benchmark::State& state) {
    for (auto _ : state) {
        RepeatedFile file(g_seed++, g.bytes);
        const int64_t fid = InitUpload("loop.bin", file);
        CURL* curl = curl_easy_init();
        const auto start = std::chrono::steady_clock::now();
        bool ok = true;
        for (int64_t at = 0; at < file.size && ok; at += kChunk) {
            const std::string url = UploadUrl(fid, at, file);
            std::pair<const std::string*, size_t> source{&file.block, 0};
            curl_mime* mime = curl_mime_init(curl);
            curl_mimepart* part = curl_mime_addpart(mime);
            curl_mime_name(part, "file");
            curl_mime_filename(part, "loop.bin");
            curl_mime_data_cb(part, kChunk, &ReadBlock, nullptr, nullptr, &source);
            curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
            curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
            ok = curl_easy_perform(curl) == CURLE_OK;
            curl_mime_free(mime);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        curl_easy_cleanup(curl);
        CRequestContext context;
        auto info = context.performRequest(RequestKind::kGetFile, RequestParams("").Add("fid", fid));
        if (!ok || info.File()["status"].asInt() != 1) {
            state.SkipWithError("libcurl loop upload failed");
            return;
        }
        Record(state, "upload libcurl", seconds);
        DeleteFile(fid);
    }
}

int64_t g_downloadFid = -1;

void BM_ClientDownload(benchmark::State& state) {
    for (auto _ : state) {
        CRequestContext context;
        int64_t received = 0;
        CRequestContext::Hooks hooks;
        hooks.body = [&](const char*, size_t size) {
            received += static_cast<int64_t>(size);
            return true;
        };
        const std::string url = COptions::GetInstance().GetUrls().download + "fid=" +
                                std::to_string(g_downloadFid);
        const auto start = std::chrono::steady_clock::now();
        auto reply = context.performRequest(RequestKind::kDownload, RequestParams(""), url, hooks);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (reply.result != CURLE_OK || received != g.bytes) {
            state.SkipWithError("download failed");
            return;
        }
        Record(state, "download client", seconds);
    }
}

void BM_CurlDownload(benchmark::State& state) {
    for (auto _ : state) {
        const std::string url = "http://127.0.0.1:" + std::to_string(g.port) +
                                "/qcd/fileshare/downloadFileAction.json?fid=" +
                                std::to_string(g_downloadFid);
        const auto start = std::chrono::steady_clock::now();
        int rc = platform::RunProgram({"curl", "-s", "-o", "/dev/null", url}, 600000);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (rc != 0) {
            state.SkipWithError("curl download failed");
            return;
        }
        Record(state, "download curl", seconds);
    }
}

bool StartServer() {
    g.home = bench::MakeHome();
    if (g.home.empty()) {
        return false;
    }
    g.port = bench::StartCloud(g.server, g.home / "data", g.home / "config");
    if (g.port == 0) {
        return false;
    }
    COptions::GetInstance().GenerateUrls();
    return true;
}

// The file every download reads, uploaded once.
bool StoreDownloadFile() {
    RepeatedFile file(0xD0D0, g.bytes);
    CRequestContext context(CRequestContext::HandlePolicy::kKeepForNext);
    auto init = context.performRequest(
        RequestKind::kUploadInit,
        RequestParams("").Add("pid", 0).AddText("name", "download.bin").Add("size", file.size));
    g_downloadFid = init.File()["id"].asInt64();
    ServerReply reply;
    for (int64_t at = 0; at < file.size; at += kChunk) {
        reply = context.performUpload(RequestParams("").Add("fid", g_downloadFid).Add("breakPoint", at)
                                          .AddText("hash", file.hash).Add("size", file.size),
                                      "download.bin", file.block.data(), kChunk);
    }
    return reply.Succeeded() && reply.File()["status"].asInt() == 1;
}

}  // namespace

BENCHMARK(BM_ClientUpload)->UseManualTime()->Iterations(1)->Repetitions(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibcurlLoopUpload)->UseManualTime()->Iterations(1)->Repetitions(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlUpload)->UseManualTime()->Iterations(1)->Repetitions(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientDownload)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlDownload)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    const char* mib = std::getenv("ZORP_BENCH_MIB");
    g.bytes = (mib ? std::atoll(mib) : 1024) * 1024 * 1024;
    g.bytes -= g.bytes % static_cast<int64_t>(kChunk);
    benchmark::Initialize(&argc, argv);
    const bool ready = StartServer() && StoreDownloadFile();
    if (ready) {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    bench::EndCloud(g.server, g.home);
    if (!ready) {
        std::fprintf(stderr, "could not start zorp-cloud or store the download file\n");
        return 1;
    }

    std::printf("\n%-18s %10s\n", "transfer", "best MB/s");
    for (const auto& [name, mbps] : g.best) {
        std::printf("%-18s %10.0f\n", name.c_str(), mbps);
    }
    auto ratio = [](const char* client, const char* curl) {
        double c = g.best[curl];
        return c > 0 ? g.best[client] / c : 0.0;
    };
    std::printf("ratio upload   client/curl: %.2f\n", ratio("upload client", "upload curl"));
    std::printf("ratio upload   client/libcurl loop: %.2f\n",
                ratio("upload client", "upload libcurl"));
    std::printf("ratio download client/curl: %.2f\n", ratio("download client", "download curl"));
    return 0;
}
