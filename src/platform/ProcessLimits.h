#pragma once

#include <cstdint>

namespace platform {

// Raises the soft limit of open files to at least `minimum` (never above the hard limit, never
// lowering it). Hashes, transfers and watches keep many files open at once. Returns the soft
// limit in force afterwards.
uint64_t RaiseOpenFileLimit(uint64_t minimum);

}  // namespace platform
