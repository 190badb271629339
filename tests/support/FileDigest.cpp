#include "support/FileDigest.h"

#include <openssl/evp.h>

#include <fstream>
#include <memory>
#include <vector>

namespace zorp::test {

namespace {

class Sha256 {
public:
    Sha256() : m_context(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
        m_ok = m_context && EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) == 1;
    }
    void Update(const char* data, size_t size) {
        m_ok = m_ok && EVP_DigestUpdate(m_context.get(), data, size) == 1;
    }
    std::string Finish() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!m_ok || EVP_DigestFinal_ex(m_context.get(), digest, &length) != 1) {
            return {};
        }
        static const char* kHex = "0123456789abcdef";
        std::string text;
        for (unsigned int i = 0; i < length; ++i) {
            text.push_back(kHex[digest[i] >> 4]);
            text.push_back(kHex[digest[i] & 15]);
        }
        return text;
    }

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> m_context;
    bool m_ok = false;
};

}  // namespace

std::string Sha256Hex(const std::string& data) {
    Sha256 hash;
    hash.Update(data.data(), data.size());
    return hash.Finish();
}

std::string Sha256OfFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        hash.Update(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    return in.bad() ? std::string() : hash.Finish();
}

}  // namespace zorp::test
