#pragma once

#include <cstdint>

// The server's "status" codes that the client acts on, beside 0 for success. Any other code
// is a failure that the status text describes.
namespace ServerStatus {
// 102003 to 102005: no such file, a name the disk refuses, a chunk that does not start at the
// break point. A retry of the same request does not mend them.
inline constexpr int64_t kNotFound = 102003;
inline constexpr int64_t kBadName = 102004;
inline constexpr int64_t kWrongBreakPoint = 102005;
// The content received does not have the hash the upload was given.
inline constexpr int64_t kHashMismatch = 102006;
// The cloud disk is full.
inline constexpr int64_t kNoCapacity = 102008;
// Another connection still holds the file (a chunk of a broken connection the server has not
// let go yet): asking again a moment later is answered.
inline constexpr int64_t kBusy = 102011;
}  // namespace ServerStatus
