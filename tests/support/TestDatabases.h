#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zorp::test {

using Rows = std::vector<std::vector<std::string>>;

// The options loaded for a test's own user: fresh databases under the test's XDG folders
// (ScopedXdgHome), no mounted file system looked at for the work folder. False when the
// options could not load.
bool LoadOptionsForUser(int userId);
// Every row of the query; a failure is a test failure and returns no rows.
Rows QueryRows(const std::filesystem::path& database, const std::string& sql);

}  // namespace zorp::test
