#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The disk's content hash, built as the data arrives: SHA-256 of every 131,072-byte block,
// the block digests written as 64 lower-case hex digits, sorted, joined into one text, the
// SHA-256 of that text in hex, and the size in decimal after it. Sorting makes the hash blind
// to the order of whole blocks; the client computes the same string before it uploads, and
// the server trusts a finished file only when the two agree.
class BlockHasher {
public:
    static constexpr size_t kBlockSize = 131072;

    BlockHasher();
    ~BlockHasher();
    BlockHasher(const BlockHasher&) = delete;
    BlockHasher& operator=(const BlockHasher&) = delete;

    void Reset();
    void Update(const char* data, size_t size);
    // The hash string of everything fed so far; empty for no data (the client hashes no empty
    // file). Leaves the hasher reset.
    std::string Finish();

    uint64_t BytesHashed() const { return m_total; }

    // Whether `text` has the form of a hash string for a file of `size` bytes.
    static bool IsWellFormed(const std::string& text, int64_t size);

private:
    void CloseBlock();

    EVP_MD_CTX* m_block;
    size_t m_inBlock = 0;
    uint64_t m_total = 0;
    std::vector<std::string> m_digests;
};
