#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Where the program looks for its own files ("appConfig", "log.properties", the skin folder
// "ui", the backup folder icon), in this order:
//   1. the program folder: a build tree, or a copy that carries its files beside it;
//   2. the data folder of an installed tree, share/zorp beside its bin folder, wherever the
//      tree was installed or unpacked (so a package unpacked into any root finds its files);
//   3. the user's configuration folder, $XDG_CONFIG_HOME/zorp (default ~/.config/zorp).
// The first file found decides; later ones are not read.
class ProgramFiles {
public:
    // <programDir>/../share/zorp, normalised.
    static std::filesystem::path InstalledDataDir(const std::filesystem::path& programDir);
    // $XDG_CONFIG_HOME/zorp when the variable holds an absolute path (the XDG rule: relative
    // values are ignored), otherwise ~/.config/zorp.
    static std::filesystem::path UserConfigDir();
    // The three places of `name`, in the order they are looked at.
    static std::vector<std::filesystem::path> Candidates(const std::filesystem::path& programDir,
                                                         const std::string& name);
    // The first candidate that is a regular file; empty when there is none.
    static std::filesystem::path Find(const std::filesystem::path& programDir,
                                      const std::string& name);
};
