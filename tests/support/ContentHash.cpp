#include "support/ContentHash.h"

#include <openssl/sha.h>

#include <algorithm>
#include <vector>

namespace zorp::test {

namespace {

std::string HexSha256(const void* data, size_t size) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(static_cast<const unsigned char*>(data), size, digest);
    static const char* kHex = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 15]);
    }
    return text;
}

}  // namespace

std::string ContentHash(const std::string& data) {
    if (data.empty()) {
        return std::string();
    }
    constexpr size_t kBlock = 131072;
    std::vector<std::string> blocks;
    for (size_t at = 0; at < data.size(); at += kBlock) {
        blocks.push_back(HexSha256(data.data() + at, std::min(kBlock, data.size() - at)));
    }
    std::sort(blocks.begin(), blocks.end());
    std::string joined;
    for (const auto& block : blocks) {
        joined += block;
    }
    return HexSha256(joined.data(), joined.size()) + std::to_string(data.size());
}

std::string TestBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint64_t state = 0x9E3779B97F4A7C15ull ^ seed;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

}  // namespace zorp::test
