#include "core/TaskIndexCounter.h"

#include <atomic>

namespace {
std::atomic<int32_t> g_lastTaskIndex{0};
}  // namespace

int32_t TaskIndexCounter::Next() {
    return g_lastTaskIndex.fetch_add(1) + 1;
}
