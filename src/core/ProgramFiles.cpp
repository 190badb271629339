#include "core/ProgramFiles.h"

#include "platform/SystemInfo.h"

namespace fs = std::filesystem;

fs::path ProgramFiles::InstalledDataDir(const fs::path& programDir) {
    return (programDir / ".." / "share" / "zorp").lexically_normal();
}

fs::path ProgramFiles::UserConfigDir() {
    fs::path base(platform::EnvOr("XDG_CONFIG_HOME", ""));
    if (base.empty() || !base.is_absolute()) {
        base = platform::HomeDir() / ".config";
    }
    return base / "zorp";
}

std::vector<fs::path> ProgramFiles::Candidates(const fs::path& programDir, const std::string& name) {
    return {programDir / name, InstalledDataDir(programDir) / name, UserConfigDir() / name};
}

fs::path ProgramFiles::Find(const fs::path& programDir, const std::string& name) {
    for (const auto& candidate : Candidates(programDir, name)) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) {
            return candidate;
        }
    }
    return {};
}
