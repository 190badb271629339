#include "core/FixedDelays.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>

namespace {

struct Row {
    FixedDelay delay;
    const char* name;
    uint32_t ms;
};

// clang-format off
constexpr Row kTable[] = {
    {FixedDelay::kRetryStep,             "retry step",                 5000},
    {FixedDelay::kNetworkErrorQuiet,     "network error to offline",   5000},
    {FixedDelay::kNetworkRecheck,        "network recheck",           10000},
    {FixedDelay::kSaveUnfinished,        "unfinished transfers check", 1000},
    {FixedDelay::kWalkBatchPause,        "folder walk pause",           150},
    {FixedDelay::kListingCacheLifetime,  "listing cache lifetime",    10000},
    {FixedDelay::kKeepAlive,             "link keep-alive",            4500},
    {FixedDelay::kPageSendTimeout,       "page send timeout",         60000},
    {FixedDelay::kHelloWait,             "link hello wait",           10000},
    {FixedDelay::kChunkStall,            "transfer stall limit",      15000},
    {FixedDelay::kServerBusyWait,        "server busy wait",           1000},
    {FixedDelay::kLockRenewal,           "edit lock renewal",         58000},
    {FixedDelay::kEditQuiet,             "edit folder quiet",          1000},
    {FixedDelay::kRenamePairing,         "rename halves pairing",        50},
    {FixedDelay::kWatchRetry,            "unwatched folder retry",     5000},
    {FixedDelay::kBackupQuiet,           "backup folder quiet",       10000},
    {FixedDelay::kBackupNewFolderQuiet,  "backup new folder quiet",   60000},
};
// clang-format on
static_assert(sizeof(kTable) / sizeof(kTable[0]) == static_cast<size_t>(FixedDelay::kCount),
              "every delay has its row");

const Row& RowOf(FixedDelay delay) {
    const auto index = static_cast<size_t>(delay);
    return kTable[index < static_cast<size_t>(FixedDelay::kCount) ? index : 0];
}

std::atomic<double> g_scale{1.0};
std::once_flag g_fromEnvironment;

void ReadEnvironment() {
    std::call_once(g_fromEnvironment, [] {
        const char* text = std::getenv(FixedDelays::kTestScaleEnv);
        double scale = 1.0;
        if (text && FixedDelays::ParseScale(text, &scale)) {
            g_scale = scale;
        }
    });
}

}  // namespace

bool FixedDelays::ParseScale(const char* text, double* scale) {
    if (!text || !*text) {
        return false;
    }
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value) || value <= 0.0 || value > 1.0) {
        return false;
    }
    *scale = value;
    return true;
}

double FixedDelays::Scale() {
    ReadEnvironment();
    return g_scale;
}

bool FixedDelays::SetScale(double scale) {
    ReadEnvironment();  // a later first read must not undo this
    if (!std::isfinite(scale) || scale <= 0.0 || scale > 1.0) {
        return false;
    }
    g_scale = scale;
    return true;
}

uint32_t FixedDelays::NominalMs(FixedDelay delay) { return RowOf(delay).ms; }

const char* FixedDelays::Name(FixedDelay delay) { return RowOf(delay).name; }

uint32_t FixedDelays::Ms(FixedDelay delay) {
    const double ms = std::round(RowOf(delay).ms * Scale());
    return ms < 1.0 ? 1u : static_cast<uint32_t>(ms);
}

long FixedDelays::Seconds(FixedDelay delay) {
    const long seconds = static_cast<long>(std::lround(Ms(delay) / 1000.0));
    return seconds < 1 ? 1 : seconds;
}
