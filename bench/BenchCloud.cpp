#include "BenchCloud.h"

#include <openssl/evp.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/SystemInfo.h"

namespace fs = std::filesystem;

namespace bench {

namespace {

std::string Sha256Hex(const void* data, size_t size) {
    static const char* kDigits = "0123456789abcdef";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr);
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(kDigits[digest[i] >> 4]);
        text.push_back(kDigits[digest[i] & 15]);
    }
    return text;
}

}  // namespace

fs::path MakeHome() {
    char pattern[] = "/tmp/zorp-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        return {};
    }
    const fs::path home = pattern;
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / "data-home").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    return home;
}

void EndCloud(std::unique_ptr<platform::ChildProcess>& server, const fs::path& home) {
    if (server) {
        server->Stop();
        server.reset();
    }
    std::error_code ec;
    if (!home.empty()) {
        fs::remove_all(home, ec);
    }
}

int StartCloud(std::unique_ptr<platform::ChildProcess>& server, const fs::path& dataDir,
               const fs::path& configHome) {
    server = std::make_unique<platform::ChildProcess>();
    if (!server->Start({(platform::ExecutableDir() / "zorp-cloud").string(), "--listen",
                        "127.0.0.1:0", "--data", dataDir.string()})) {
        return 0;
    }
    auto line = server->ReadLine(10000);
    const std::string prefix = "listening on 127.0.0.1:";
    if (!line || line->rfind(prefix, 0) != 0) {
        return 0;
    }
    const int port = std::atoi(line->c_str() + prefix.size());
    if (!configHome.empty()) {
        fs::create_directories(configHome / "zorp");
        std::ofstream(configHome / "zorp" / "appConfig")
            << "{\"host\": \"web.localhost:" << port << "\"}";
    }
    return port;
}

RepeatedBlock::RepeatedBlock(uint32_t seed, int64_t totalBytes)
    : block(kBlockSize, '\0'), size(totalBytes) {
    uint64_t state = 0x9E3779B97F4A7C15ull ^ seed;
    for (auto& c : block) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = static_cast<char>(state >> 24);
    }
    const std::string digest = Sha256Hex(block.data(), block.size());
    std::string joined;
    joined.reserve(static_cast<size_t>(size / static_cast<int64_t>(kBlockSize)) * 64);
    for (int64_t i = 0; i < size / static_cast<int64_t>(kBlockSize); ++i) {
        joined += digest;
    }
    hash = Sha256Hex(joined.data(), joined.size()) + std::to_string(size);
}

double OpensslSha256Speed(int processes) {
    std::string command = "openssl speed -evp sha256 -bytes 131072 -seconds 3";
    if (processes > 1) {
        command += " -multi " + std::to_string(processes);
    }
    command += " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        return 0;
    }
    char line[512];
    double best = 0;
    while (fgets(line, sizeof(line), pipe)) {
        double kbytes = 0;
        // The result line: "sha256   <k-bytes per second>k"
        if (sscanf(line, "sha256 %lfk", &kbytes) == 1 || sscanf(line, "SHA256 %lfk", &kbytes) == 1) {
            best = kbytes * 1000.0;
        }
    }
    ::pclose(pipe);
    return best;
}

size_t ReadChunk(char* buffer, size_t size, size_t count, void* source) {
    auto* chunk = static_cast<ChunkSource*>(source);
    const size_t n = std::min(size * count, chunk->size - chunk->offset);
    std::memcpy(buffer, chunk->data + chunk->offset, n);
    chunk->offset += n;
    return n;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace bench
