#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/CloudServer.h"

namespace zorp::test {

// A tree as relative path -> content: folders end in "/" and map to "", a file the server
// holds incompletely maps to "<incomplete>". Two trees compare with ==.
using Tree = std::map<std::string, std::string>;

// Every file and folder below a cloud folder of `server` (through the options' addresses,
// which must point at it), with each complete file's content downloaded.
Tree ServerTree(const CloudServer& server, int64_t folderId, const std::string& prefix = {});

// A local folder as a drop places it below the target: the folder itself is `prefix`
// (ending in "/"), everything in it below that.
Tree LocalTree(const std::filesystem::path& folder, const std::string& prefix);

// The "files" of a names message of the link (types 1 to 6).
std::vector<std::string> NamesOf(const std::string& message);

}  // namespace zorp::test
