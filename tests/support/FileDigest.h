#pragma once

#include <filesystem>
#include <string>

namespace zorp::test {

// SHA-256 of a whole content as 64 lower-case hex digits: the digest a test compares when
// it must know two copies are the same bytes, not only the same block list.
std::string Sha256Hex(const std::string& data);
// The same of a file's content, read in pieces; empty when the file cannot be read.
std::string Sha256OfFile(const std::filesystem::path& file);

}  // namespace zorp::test
