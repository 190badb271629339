#include "upload/ComputeShaHandler.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "core/Logging.h"
#include "core/WindowMessages.h"
#include "platform/SequentialFile.h"
#include "platform/WindowRegistry.h"
#include "upload/CalcShaResult.h"
#include "upload/QuorvaFileHasher.h"
#include "upload/ReadAheadReader.h"

namespace {

// A file may be rewritten while it is read; it is hashed again when its size or modification
// time moved meanwhile, so the hash always belongs to one version of the content.
constexpr int kAttemptsOnChange = 3;

constexpr size_t kReadSize = 8 * ComputeShaHandler::kBlockSize;
// Pieces read ahead of the hashing, when they are.
constexpr size_t kReadAhead = 3;
// Below this a second thread costs more than the copy it takes over.
constexpr int64_t kReadAheadFrom = int64_t{4} << 20;

// Hash jobs running now: reading ahead only pays while a core is left over for it.
std::atomic<int> g_runningJobs{0};

bool ReadAheadAllowed(int64_t size) {
    static const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const int running = std::max(1, g_runningJobs.load(std::memory_order_relaxed));
    return size >= kReadAheadFrom && static_cast<unsigned>(running) < cores;
}
// Files from this size on are followed by a short pause of the hash thread.
constexpr int64_t kLargeFile = int64_t{1} << 20;

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

        QuorvaFileHasher hasher;
        // Read a few blocks per call: one large copy out of the page cache costs less than
        // several small ones, and the blocks are still hashed one by one. While a core is
        // free, that copy runs on a thread of its own, beside the hashing.
        ReadAheadReader reader(file, size, kReadSize, ReadAheadAllowed(size) ? kReadAhead : 0);
        bool carryOn = true;
        while (carryOn) {
            const ReadAheadReader::Piece piece = reader.Next();
            if (piece.length == 0) {
                break;
            }
            if (piece.length < 0) {
                LOG(ERROR) << "---ComputeShaHandler::GenerateQuorvaFileHash: read failed at "
                           << reader.Offset() << " of " << size << ", " << path.string();
                return true;  // hash stays empty, size stays reported
            }
            const size_t length = static_cast<size_t>(piece.length);
            for (size_t offset = 0; offset < length; offset += kBlockSize) {
                carryOn = goOn ? goOn() : true;
                if (!carryOn) {
                    break;
                }
                hasher.Update(piece.data + offset, std::min(length - offset, kBlockSize));
            }
        }
        if (!carryOn) {
            return false;
        }
        if (file.CurrentVersion() != before) {
            LOG(WARNING) << "ComputeShaHandler::GenerateQuorvaFileHash: file changed while hashed, "
                         << "again (" << attempt << "): " << path.string();
            continue;
        }
        hash = hasher.Finish();
        return true;
    }
    LOG(ERROR) << "---ComputeShaHandler::GenerateQuorvaFileHash: file keeps changing, "
               << path.string();
    return true;
}

void ComputeShaHandler::Run() {
    const CalcShaParam& param = *GetParam();
    VLOG(1) << "Run: " << param.path.string();
    g_runningJobs.fetch_add(1, std::memory_order_relaxed);
    std::string hash;
    int64_t size = 0;
    m_goOn = GenerateQuorvaFileHash(param.path, hash, size, [this] { return ShouldContinue(); });
    g_runningJobs.fetch_sub(1, std::memory_order_relaxed);
    // A short pause after a large file gives the disk and the window thread a breath while five
    // hash threads work through a big drop. After a small file it would only cap the pool at a
    // hundred files a second, so small files go on at once.
    if (size >= kLargeFile) {
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
