#include "upload/ComputeShaHandler.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <thread>
#include <vector>

#include "core/Logging.h"
#include "core/ReadAheadFile.h"
#include "core/WindowMessages.h"
#include "platform/SequentialFile.h"
#include "platform/WindowRegistry.h"
#include "upload/CalcShaResult.h"

namespace {

using Digest = std::array<unsigned char, 32>;

void ToHex(const unsigned char* bytes, size_t length, char* out) {
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 15];
    }
}

// A file may be rewritten while it is read; it is hashed again when its size or modification
// time moved meanwhile, so the hash always belongs to one version of the content.
constexpr int kAttemptsOnChange = 3;

constexpr size_t kReadAheadFrom = 8 * ComputeShaHandler::kBlockSize;
constexpr size_t kBlocksAhead = 4;

}  // namespace

ComputeShaHandler::ComputeShaHandler(std::unique_ptr<CalcShaParam> param)
    : CFJobBase(std::move(param)) {}

bool ComputeShaHandler::GenerateQuorvaFileHash(const std::filesystem::path& path,
                                               std::string& hash, int64_t& size,
                                               const std::function<bool()>& goOn) {
    hash.clear();
    size = 0;
    for (int attempt = 1; attempt <= kAttemptsOnChange; ++attempt) {
        platform::SequentialFile file;
        if (!file.Open(path)) {
            LOG(ERROR) << "---ComputeShaHandler::GenerateQuorvaFileHash:can't open " << path.string();
            return true;
        }
        const auto before = file.CurrentVersion();
        size = before.size;
        if (size <= 0) {
            LOG(ERROR) << "---ComputeShaHandler::GenerateQuorvaFileHash: size is 0, " << path.string();
            size = 0;
            return true;
        }

        // Block digests are kept as raw bytes and sorted once at the end: byte order of the
        // digests is the order of their lower-case hex texts.
        std::vector<Digest> digests;
        digests.reserve(static_cast<size_t>(size / kBlockSize + 1));
        // Larger files are read ahead on a second thread so the copy overlaps the hashing;
        // for small ones starting that thread would cost more than it saves.
        const bool readAhead = size >= static_cast<int64_t>(kReadAheadFrom);
        ReadAheadFile ahead(kBlockSize, kBlocksAhead);
        if (readAhead && !ahead.Start(file, size)) {
            LOG(ERROR) << "---ComputeShaHandler::GenerateQuorvaFileHash: no reader thread, "
                       << path.string();
            return true;
        }
        std::vector<unsigned char> buffer(readAhead ? 0 : kBlockSize);
        int64_t left = size;
        bool carryOn = true;
        while (left > 0) {
            carryOn = goOn ? goOn() : true;
            if (!carryOn) {
                break;
            }
            size_t want = static_cast<size_t>(std::min<int64_t>(left, kBlockSize));
            const unsigned char* data = buffer.data();
            size_t got = 0;
            if (readAhead) {
                const std::vector<unsigned char>* block = ahead.Next(&got);
                data = block ? block->data() : nullptr;
            } else {
                int64_t n = file.Read(buffer.data(), want);
                got = n > 0 ? static_cast<size_t>(n) : 0;
            }
            if (!data || got != want) {
                LOG(ERROR) << "---ComputeShaHandler::GenerateQuorvaFileHash: read failed at "
                           << (size - left) << " of " << size << ", " << path.string();
                return true;  // hash stays empty, size stays reported
            }
            Digest digest;
            unsigned int length = 0;
            EVP_Digest(data, want, digest.data(), &length, EVP_sha256(), nullptr);
            digests.push_back(digest);
            left -= static_cast<int64_t>(want);
        }
        ahead.Stop();
        if (!carryOn) {
            return false;
        }
        if (file.CurrentVersion() != before) {
            LOG(WARNING) << "ComputeShaHandler::GenerateQuorvaFileHash: file changed while hashed, "
                         << "again (" << attempt << "): " << path.string();
            continue;
        }

        std::sort(digests.begin(), digests.end());
        std::string joined(digests.size() * 64, '\0');
        for (size_t i = 0; i < digests.size(); ++i) {
            ToHex(digests[i].data(), digests[i].size(), joined.data() + i * 64);
        }
        Digest total;
        unsigned int length = 0;
        EVP_Digest(joined.data(), joined.size(), total.data(), &length, EVP_sha256(), nullptr);
        hash.assign(64, '\0');
        ToHex(total.data(), total.size(), hash.data());
        hash += std::to_string(size);
        return true;
    }
    LOG(ERROR) << "---ComputeShaHandler::GenerateQuorvaFileHash: file keeps changing, "
               << path.string();
    return true;
}

void ComputeShaHandler::Run() {
    const CalcShaParam& param = *GetParam();
    VLOG(1) << "Run: " << param.path.string();
    std::string hash;
    int64_t size = 0;
    m_goOn = GenerateQuorvaFileHash(param.path, hash, size, [this] { return ShouldContinue(); });
    // A short pause after a large file gives the disk and the window thread a breath while five
    // hash threads work through a big drop. After a small file it would only cap the pool at a
    // hundred files a second, so small files go on at once.
    if (size >= static_cast<int64_t>(kReadAheadFrom)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::unique_ptr<platform::Payload> record;
    if (m_goOn) {
        record = platform::MakePayload<CalcShaResult>(CalcShaResult{param.path, hash, size});
    } else {
        LOG(ERROR) << "Run failed " << param.path.string();
    }
    platform::PostMessage(param.window, platform::Message(WM_CALC_SHA_FINISH, std::move(record)));
}
