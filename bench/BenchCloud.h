#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/ChildProcess.h"

// What the transfer benchmarks share: a zorp-cloud of their own and content whose hash is known
// without reading it back.
namespace bench {

// A fresh folder below /tmp that the benchmark's XDG configuration, data and cache homes point
// at, so the user's own zorp files are never touched. Empty when it could not be made.
std::filesystem::path MakeHome();

// Stops the server (when one runs) and removes the home folder (when one was made).
void EndCloud(std::unique_ptr<platform::ChildProcess>& server, const std::filesystem::path& home);

// zorp-cloud from the build's bin folder on a free loopback port, storing into `dataDir`.
// With `configHome`, an "appConfig" there (zorp/appConfig) points the options at it. The port,
// or 0 when the server did not start within 10 s.
int StartCloud(std::unique_ptr<platform::ChildProcess>& server,
               const std::filesystem::path& dataDir,
               const std::filesystem::path& configHome = {});

// Content made of one 128 KiB block repeated: only one block is held in memory, and its disk
// hash is the hash of the block's digest repeated (equal digests stay in place when sorted).
struct RepeatedBlock {
    static constexpr size_t kBlockSize = 131072;

    RepeatedBlock(uint32_t seed, int64_t totalBytes);

    std::string block;
    int64_t size = 0;
    std::string hash;
};

// Bytes per second that `openssl speed -evp sha256 -bytes 131072` reports on this machine, in
// one process or with -multi `processes`; 0 when it could not be run.
double OpensslSha256Speed(int processes);

// A libcurl read callback (CURLOPT_READFUNCTION, curl_mime_data_cb) over bytes in memory.
struct ChunkSource {
    const char* data;
    size_t size;
    size_t offset;
};
size_t ReadChunk(char* buffer, size_t size, size_t count, void* source);
// A libcurl write callback that keeps nothing.
size_t Discard(char* data, size_t size, size_t count, void* unused);

}  // namespace bench
