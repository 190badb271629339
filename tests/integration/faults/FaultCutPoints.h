#pragma once

#include <openssl/sha.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace zorp::test {

// The places in a file of a few chunks where a server fault is made to strike: the first
// byte, the second, either side of the first chunk boundary, the middle and the last byte.
struct CutPoint {
    const char* name;
    int64_t offset;
};

inline void PrintTo(const CutPoint& cut, std::ostream* os) {
    *os << cut.name << " (" << cut.offset << ")";
}

inline constexpr int64_t kFaultChunk = 131072;
// Three chunks and a part: every cut point falls in a chunk of its own kind (first, second,
// middle, a short last one).
inline constexpr int64_t kFaultFileSize = 3 * kFaultChunk + 4321;

inline std::vector<CutPoint> AllCutPoints() {
    return {{"Zero", 0},
            {"One", 1},
            {"ChunkLessOne", kFaultChunk - 1},
            {"Chunk", kFaultChunk},
            {"ChunkPlusOne", kFaultChunk + 1},
            {"Middle", kFaultFileSize / 2},
            {"LastByte", kFaultFileSize - 1}};
}

// SHA-256 of the whole content in hex. The disk's content hash sorts its block hashes, so
// blocks in the wrong order would pass it; this one would not.
inline std::string WholeDigest(const std::string& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    static const char* kHex = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : digest) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 15]);
    }
    return text;
}

}  // namespace zorp::test
