// The limits the end-to-end upload figures are judged against, each measured alone on the
// files and the server of the run that calls it (bench/upload_e2e.sh):
//
//   bench_upload_limits hash FILE
//       zorp's file hash of FILE (the routine the hash jobs run, as one job alone), best of 3,
//       beside `openssl speed -evp sha256 -bytes 131072` in one process.
//   bench_upload_limits loop FILE PORT
//       a plain libcurl loop (one handle, one 128 KiB multipart POST per chunk, each chunk read
//       from FILE into a buffer, the reply discarded) against zorp-cloud on PORT, and the same
//       loop against a sink that only reads and acknowledges, and against one that also
//       writes each chunk to a file before it answers; best of 2 each. The file the
//       loop registered on zorp-cloud is deleted after each run, so that the content is new to
//       the server again.
//   bench_upload_limits delete FID PORT
//       deletes file FID on zorp-cloud on PORT, so that its content is new to the server again
//       (the script uploads the same large file twice).
//   bench_upload_limits walk FOLDER PORT
//       the folder walk alone, as zorp runs it (its pauses, the cloud folders created on
//       zorp-cloud on PORT), into a fresh cloud folder: seconds to the walk's last batch.
//
// Each prints "name value" lines (MB/s, or seconds) that the script reads.
#include <curl/curl.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AckSink.h"
#include "BenchCloud.h"
#include "cloud/CRequestContext.h"
#include "core/Options.h"
#include "core/WindowMessages.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "platform/SequentialFile.h"
#include "upload/ComputeShaHandler.h"
#include "upload/FileBackupMgr.h"
#include "upload/TravelDirHandler.h"
#include "upload/TravelDirMgr.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kChunk = 131072;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Warm(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
    }
}

// Points the options at zorp-cloud (or the sink) on `port`.
void PointAt(int port) {
    std::ofstream(fs::path(std::getenv("XDG_CONFIG_HOME")) / "zorp" / "appConfig")
        << "{\"host\": \"web.localhost:" << port << "\"}";
    COptions::GetInstance().GenerateUrls();
}

// A home of the benchmark's own whose options point at zorp-cloud on `port`.
bool UseServer(int port) {
    const fs::path home = bench::MakeHome();
    if (home.empty()) {
        return false;
    }
    fs::create_directories(home / "config" / "zorp");
    PointAt(port);
    COptions& options = COptions::GetInstance();
    options.SetWorkFolderMounts(std::vector<fs::path>{});
    if (!options.Load()) {
        return false;
    }
    options.SetUserId(1);
    return true;
}

int Hash(const fs::path& file) {
    Warm(file);
    const double size = static_cast<double>(fs::file_size(file));
    double best = 0;
    for (int run = 0; run < 3; ++run) {
        std::string hash;
        int64_t bytes = 0;
        const auto start = Clock::now();
        ComputeShaHandler::GenerateQuorvaFileHash(file, hash, bytes, nullptr);
        const double seconds = Since(start);
        if (hash.empty()) {
            fprintf(stderr, "could not hash %s\n", file.c_str());
            return 1;
        }
        best = std::max(best, size / seconds / 1e6);
    }
    printf("hash %.1f\n", best);
    printf("openssl %.1f\n", bench::OpensslSha256Speed(1) / 1e6);
    return 0;
}

// One run of the loop over the whole file; MB/s, 0 on failure.
double LoopOnce(const fs::path& path, const std::string& hash, int64_t size, bool cloud) {
    CRequestContext init;
    auto reply = init.performRequest(
        RequestKind::kUploadInit,
        RequestParams("").Add("pid", 0).AddText("name", "loop.bin").Add("size", size));
    const int64_t fid = reply.Succeeded() ? reply.File()["id"].asInt64() : 0;
    platform::SequentialFile input;
    if (fid <= 0 || !input.Open(path)) {
        fprintf(stderr, "the loop could not register its upload\n");
        return 0;
    }
    const std::string base = COptions::GetInstance().GetUrls().breakPointUpload;
    std::vector<char> buffer(kChunk);
    CURL* curl = curl_easy_init();
    bool ok = true;
    const auto start = Clock::now();
    for (int64_t at = 0; at < size && ok; at += static_cast<int64_t>(kChunk)) {
        const size_t chunk = static_cast<size_t>(std::min<int64_t>(size - at, kChunk));
        ok = input.Read(buffer.data(), chunk) == static_cast<int64_t>(chunk);
        const std::string url = base + "fid=" + std::to_string(fid) + "&breakPoint=" +
                                std::to_string(at) + "&hash=" + hash +
                                "&size=" + std::to_string(size);
        bench::ChunkSource source{buffer.data(), chunk, 0};
        curl_mime* mime = curl_mime_init(curl);
        curl_mimepart* part = curl_mime_addpart(mime);
        curl_mime_name(part, "file");
        curl_mime_filename(part, "loop.bin");
        curl_mime_data_cb(part, static_cast<curl_off_t>(chunk), &bench::ReadChunk, nullptr, nullptr,
                          &source);
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &bench::Discard);
        ok = ok && curl_easy_perform(curl) == CURLE_OK;
        curl_mime_free(mime);
    }
    const double seconds = Since(start);
    curl_easy_cleanup(curl);
    if (cloud) {
        CRequestContext context;
        context.performRequest(RequestKind::kDeleteFile, RequestParams("").Add("fid", fid));
    }
    if (!ok) {
        fprintf(stderr, "the loop failed\n");
        return 0;
    }
    return static_cast<double>(size) / seconds / 1e6;
}

int Loop(const fs::path& file, int port) {
    if (!UseServer(port)) {
        fprintf(stderr, "no options home\n");
        return 1;
    }
    Warm(file);
    std::string hash;
    int64_t size = 0;
    ComputeShaHandler::GenerateQuorvaFileHash(file, hash, size, nullptr);
    bench::AckSink sink;
    bench::AckSink writingSink;
    const fs::path written = fs::path(std::getenv("XDG_CACHE_HOME")) / "writing-sink.bin";
    if (hash.empty() || !sink.Start() || !writingSink.Start(written.string())) {
        fprintf(stderr, "no hash, or no sink\n");
        return 1;
    }
    double cloud = 0;
    double acked = 0;
    double stored = 0;
    for (int run = 0; run < 2; ++run) {
        PointAt(port);
        const double cloudRun = LoopOnce(file, hash, size, true);
        PointAt(sink.Port());
        const double sinkRun = LoopOnce(file, hash, size, false);
        PointAt(writingSink.Port());
        const double storedRun = LoopOnce(file, hash, size, false);
        fprintf(stderr, "loop run %d: zorp-cloud %.1f MB/s, sink %.1f MB/s, writing sink %.1f MB/s\n",
                run + 1, cloudRun, sinkRun, storedRun);
        cloud = std::max(cloud, cloudRun);
        acked = std::max(acked, sinkRun);
        stored = std::max(stored, storedRun);
    }
    sink.Stop();
    writingSink.Stop();
    std::error_code ignored;
    fs::remove(written, ignored);
    printf("loop_cloud %.1f\n", cloud);
    printf("loop_sink %.1f\n", acked);
    printf("loop_writing_sink %.1f\n", stored);
    return cloud > 0 && acked > 0 && stored > 0 ? 0 : 1;
}

int Delete(int64_t fid, int port) {
    if (!UseServer(port)) {
        fprintf(stderr, "no options home\n");
        return 1;
    }
    CRequestContext context;
    if (!context.performRequest(RequestKind::kDeleteFile, RequestParams("").Add("fid", fid))
             .Succeeded()) {
        fprintf(stderr, "could not delete file %lld\n", static_cast<long long>(fid));
        return 1;
    }
    return 0;
}

class WalkEnd : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (message.id == WM_TRAVEL_BATCH && message.lValue == TravelDirHandler::kLastBatch) {
            ended = true;
        }
        return 0;
    }
    bool ended = false;
};

int Walk(const fs::path& folder, int port) {
    if (!UseServer(port)) {
        fprintf(stderr, "no options home\n");
        return 1;
    }
    CRequestContext context;
    const std::string target =
        "walk-alone-" + std::to_string(Clock::now().time_since_epoch().count());
    auto reply = context.performRequest(RequestKind::kCreatePath,
                                        RequestParams("").AddText("path", target).Add("pid", 0));
    const int64_t pid = reply.Succeeded() ? reply.File()["id"].asInt64() : 0;
    if (pid <= 0) {
        fprintf(stderr, "could not make the cloud folder\n");
        return 1;
    }
    platform::PlainMessageLoop loop;
    WalkEnd window;
    window.Attach(&loop);
    COptions::GetInstance().m_hDndWnd = window.GetHandle();
    FileBackupMgr& list = FileBackupMgr::GetInstance();
    list.reset();
    list.setBatchTarget(pid, 0);
    list.addDroppedRoot(folder);
    TravelDirMgr& walker = TravelDirMgr::GetInstance();
    walker.Start();
    const auto start = Clock::now();
    const bool ended = walker.AddJob(window.GetHandle(), folder) &&
                       loop.RunUntil([&] { return window.ended; }, 600000);
    const double seconds = Since(start);
    walker.Stop();
    if (!ended) {
        fprintf(stderr, "the walk did not end\n");
        return 1;
    }
    printf("walk %.3f\n", seconds);
    printf("walked_files %zu\n", list.getSubFileCount());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "hash" && argc == 3) {
        return Hash(argv[2]);
    }
    if (what == "loop" && argc == 4) {
        return Loop(argv[2], std::atoi(argv[3]));
    }
    if (what == "delete" && argc == 4) {
        return Delete(std::atoll(argv[2]), std::atoi(argv[3]));
    }
    if (what == "walk" && argc == 4) {
        return Walk(argv[2], std::atoi(argv[3]));
    }
    fprintf(stderr, "usage: %s hash FILE | loop FILE PORT | delete FID PORT | walk FOLDER PORT\n", argv[0]);
    return 2;
}
