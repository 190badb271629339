#include "upload/QuorvaFileHasher.h"

#include <openssl/evp.h>

#include <algorithm>

namespace {

void ToHex(const unsigned char* bytes, size_t length, char* out) {
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 15];
    }
}

}  // namespace

QuorvaFileHasher::QuorvaFileHasher() : m_block(EVP_MD_CTX_new()) { Reset(); }

QuorvaFileHasher::~QuorvaFileHasher() { EVP_MD_CTX_free(m_block); }

void QuorvaFileHasher::Reset() {
    m_inBlock = 0;
    m_total = 0;
    m_digests.clear();
    EVP_DigestInit_ex(m_block, EVP_sha256(), nullptr);
}

void QuorvaFileHasher::Feed(const unsigned char* bytes, size_t size, size_t available) {
    // A file's bytes come from memory, and SHA-256 alone waits for each cache line of them
    // (on one test machine: 1.33 GB/s over a large buffer against 1.73 GB/s on bytes already
    // cached). So the block goes in a step at a time, the next step asked for before each
    // (1 KiB steps measured best there: 1.67 GB/s for a file, against 1.58 with 4 KiB).
    constexpr size_t kStep = 1024;
    constexpr size_t kLine = 64;
    for (size_t at = 0; at < size; at += kStep) {
        const size_t aheadEnd = std::min(at + 2 * kStep, available);
        for (size_t line = at + kStep; line < aheadEnd; line += kLine) {
            __builtin_prefetch(bytes + line);
        }
        EVP_DigestUpdate(m_block, bytes + at, std::min(kStep, size - at));
    }
}

void QuorvaFileHasher::CloseBlock() {
    Digest digest;
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_block, digest.data(), &length);
    m_digests.push_back(digest);
    m_inBlock = 0;
    EVP_DigestInit_ex(m_block, EVP_sha256(), nullptr);
}

void QuorvaFileHasher::Update(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    m_total += static_cast<int64_t>(size);
    while (size > 0) {
        const size_t take = std::min(size, kBlockSize - m_inBlock);
        Feed(bytes, take, size);
        m_inBlock += take;
        bytes += take;
        size -= take;
        if (m_inBlock == kBlockSize) {
            CloseBlock();
        }
    }
}

std::string QuorvaFileHasher::Finish() {
    if (m_inBlock > 0) {
        CloseBlock();
    }
    const int64_t total = m_total;
    if (total == 0) {
        Reset();
        return std::string();
    }
    std::sort(m_digests.begin(), m_digests.end());
    std::string joined(m_digests.size() * 64, '\0');
    for (size_t i = 0; i < m_digests.size(); ++i) {
        ToHex(m_digests[i].data(), m_digests[i].size(), joined.data() + i * 64);
    }
    Digest digest;
    unsigned int length = 0;
    EVP_Digest(joined.data(), joined.size(), digest.data(), &length, EVP_sha256(), nullptr);
    std::string hash(64, '\0');
    ToHex(digest.data(), digest.size(), hash.data());
    hash += std::to_string(total);
    Reset();
    return hash;
}
