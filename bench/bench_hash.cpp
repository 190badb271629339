// File hash throughput against OpenSSL's own figure on this machine:
//   one 1 GiB file hashed by one job, against `openssl speed -evp sha256 -bytes 131072`;
//   five 1 GiB files through the five-thread hash pool, against the same with `-multi <cores>`
//   (ZORP_BENCH_MIB sets another size for both).
// The files are read once beforehand so that both sides measure hashing, not the disk.
#include <stdio.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchCloud.h"
#include "core/WindowMessages.h"
#include "platform/MessageTarget.h"
#include "platform/PlainMessageLoop.h"
#include "upload/CalcShaResult.h"
#include "upload/ComputeShaHandler.h"
#include "upload/ComputeShaMgr.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// 1 GiB each; ZORP_BENCH_MIB sets another size.
int64_t g_fileSize = int64_t{1} << 30;

void MakeFile(const fs::path& path, uint32_t seed) {
    std::mt19937_64 random(seed);
    std::vector<uint64_t> block(1 << 17);
    std::ofstream out(path, std::ios::binary);
    for (int64_t written = 0; written < g_fileSize;
         written += static_cast<int64_t>(block.size() * sizeof(uint64_t))) {
        for (auto& word : block) {
            word = random();
        }
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(block.size() * sizeof(uint64_t)));
    }
}

void Warm(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
    }
}

class Sink : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        if (message.id == WM_CALC_SHA_FINISH && message.W<CalcShaResult>()) {
            ++done;
        }
        return 0;
    }
    int done = 0;
};

}  // namespace

int main() {
    if (const char* mib = std::getenv("ZORP_BENCH_MIB")) {
        g_fileSize = std::max<int64_t>(1, std::atoll(mib)) << 20;
    }
    fs::path dir = fs::temp_directory_path() / "zorp-bench-hash";
    fs::create_directories(dir);
    std::vector<fs::path> files;
    for (int i = 0; i < 5; ++i) {
        files.push_back(dir / ("file" + std::to_string(i)));
        if (!fs::exists(files.back()) || fs::file_size(files.back()) != static_cast<uintmax_t>(g_fileSize)) {
            MakeFile(files.back(), static_cast<uint32_t>(i + 1));
        }
        Warm(files.back());
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());

    double single = bench::OpensslSha256Speed(1);
    auto start = Clock::now();
    std::string hash;
    int64_t size = 0;
    ComputeShaHandler::GenerateQuorvaFileHash(files[0], hash, size, nullptr);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double ours = static_cast<double>(g_fileSize) / seconds;
    printf("one file:            %8.0f MB/s   openssl (1 process): %8.0f MB/s   ratio %.2f\n",
           ours / 1e6, single / 1e6, single > 0 ? ours / single : 0.0);

    double multi = bench::OpensslSha256Speed(static_cast<int>(cores));
    platform::PlainMessageLoop loop;
    Sink sink;
    sink.Attach();
    ComputeShaMgr manager;
    manager.Start();
    start = Clock::now();
    for (const auto& file : files) {
        manager.AddJob(CalcShaParam{sink.GetHandle(), file});
    }
    loop.RunUntil([&] { return sink.done == 5; }, 600000);
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    manager.Stop();
    ours = 5.0 * static_cast<double>(g_fileSize) / seconds;
    printf("five files:          %8.0f MB/s   openssl (-multi %u):  %8.0f MB/s   ratio %.2f\n",
           ours / 1e6, cores, multi / 1e6, multi > 0 ? ours / multi : 0.0);
    if (!std::getenv("ZORP_BENCH_KEEP")) {
        fs::remove_all(dir);
    }
    return 0;
}
