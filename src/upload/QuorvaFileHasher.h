#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct evp_md_ctx_st;

// The file hash the server knows, built from the bytes as they come: the SHA-256 of each
// 128 KiB block, as lower-case hex texts sorted in ascending order and joined, hashed again
// with SHA-256, followed by the size in decimal (full 64-bit). Uploads hash a file with it
// before they send it (ComputeShaHandler::GenerateQuorvaFileHash); downloads hash what they
// write, so that a delivered file can be checked against the hash a listing reported.
//
//     QuorvaFileHasher hasher;
//     hasher.Update(data, size);  // as often as needed, any piece sizes
//     std::string hash = hasher.Finish();
class QuorvaFileHasher {
public:
    static constexpr size_t kBlockSize = 131072;

    QuorvaFileHasher();
    ~QuorvaFileHasher();
    QuorvaFileHasher(const QuorvaFileHasher&) = delete;
    QuorvaFileHasher& operator=(const QuorvaFileHasher&) = delete;

    void Reset();
    void Update(const void* data, size_t size);
    // The hash of everything given since the reset; empty when that was nothing (no empty
    // file has a hash). Leaves the hasher reset.
    std::string Finish();
    int64_t BytesHashed() const { return m_total; }

private:
    using Digest = std::array<unsigned char, 32>;
    // Gives the first `size` of `available` bytes to the open block.
    void Feed(const unsigned char* bytes, size_t size, size_t available);
    void CloseBlock();

    evp_md_ctx_st* m_block;
    size_t m_inBlock = 0;  // bytes of the open block given to m_block
    int64_t m_total = 0;
    // Raw digests, sorted once at the end: the byte order of digests is the order of their
    // lower-case hex texts.
    std::vector<Digest> m_digests;
};
