#include "BlockHasher.h"

#include <algorithm>

namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
    static const char* kDigits = "0123456789abcdef";
    std::string text(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    return text;
}

}  // namespace

BlockHasher::BlockHasher() : m_block(EVP_MD_CTX_new()) { Reset(); }

BlockHasher::~BlockHasher() { EVP_MD_CTX_free(m_block); }

void BlockHasher::Reset() {
    EVP_DigestInit_ex(m_block, EVP_sha256(), nullptr);
    m_inBlock = 0;
    m_total = 0;
    m_digests.clear();
}

void BlockHasher::Update(const char* data, size_t size) {
    while (size > 0) {
        size_t take = std::min(size, kBlockSize - m_inBlock);
        EVP_DigestUpdate(m_block, data, take);
        m_inBlock += take;
        m_total += take;
        data += take;
        size -= take;
        if (m_inBlock == kBlockSize) {
            CloseBlock();
        }
    }
}

void BlockHasher::CloseBlock() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_block, digest, &length);
    m_digests.push_back(Hex(digest, length));
    EVP_DigestInit_ex(m_block, EVP_sha256(), nullptr);
    m_inBlock = 0;
}

std::string BlockHasher::Finish() {
    if (m_inBlock > 0) {
        CloseBlock();
    }
    const uint64_t total = m_total;
    if (total == 0) {
        Reset();
        return std::string();
    }
    std::sort(m_digests.begin(), m_digests.end());
    EVP_MD_CTX* joined = EVP_MD_CTX_new();
    EVP_DigestInit_ex(joined, EVP_sha256(), nullptr);
    for (const auto& digest : m_digests) {
        EVP_DigestUpdate(joined, digest.data(), digest.size());
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(joined, digest, &length);
    EVP_MD_CTX_free(joined);
    Reset();
    return Hex(digest, length) + std::to_string(total);
}

bool BlockHasher::IsWellFormed(const std::string& text, int64_t size) {
    if (size <= 0 || text.size() <= 64) {
        return false;
    }
    for (size_t i = 0; i < 64; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return text.compare(64, std::string::npos, std::to_string(size)) == 0;
}
