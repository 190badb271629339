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
        if (m_inBlock == 0 && size >= kBlockSize) {
            // A whole block at once: one call instead of the context's three.
            Digest digest;
            unsigned int length = 0;
            EVP_Digest(bytes, kBlockSize, digest.data(), &length, EVP_sha256(), nullptr);
            m_digests.push_back(digest);
            bytes += kBlockSize;
            size -= kBlockSize;
            continue;
        }
        const size_t take = std::min(size, kBlockSize - m_inBlock);
        EVP_DigestUpdate(m_block, bytes, take);
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
