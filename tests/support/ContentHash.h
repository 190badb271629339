#pragma once

#include <cstdint>
#include <string>

namespace zorp::test {

// The disk's content hash of `data`, written here independently of the program's and the
// server's code so that tests check both against the rule itself: SHA-256 of each 131,072-byte
// block as 64 lower-case hex digits, those texts sorted and joined, SHA-256 of the joined text
// in hex, then the size in decimal. Empty for empty data.
std::string ContentHash(const std::string& data);

// `size` bytes that differ for each seed (not random enough for anything but tests).
std::string TestBytes(size_t size, uint32_t seed);

}  // namespace zorp::test
