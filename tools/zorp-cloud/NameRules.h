#pragma once

#include <optional>
#include <string>
#include <vector>

// What the disk accepts as the name of a file or folder, and how a relative folder path is
// split. Names are stored as given (case kept, compared exactly); they never become paths on
// the server's own disk, which names content by hash only.
class NameRules {
public:
    static constexpr size_t kMaxNameBytes = 255;
    static constexpr size_t kMaxDepth = 64;

    // Not empty, not "." or "..", no "/" or "\", no control characters, at most 255 bytes.
    static bool IsValidName(const std::string& name);

    // The folder names of a relative path separated by "/" or "\" (empty steps, as in a
    // leading or doubled separator, are skipped). nullopt when a step is not a valid name,
    // nothing is left, or the path is deeper than kMaxDepth.
    static std::optional<std::vector<std::string>> SplitFolderPath(const std::string& path);
};
