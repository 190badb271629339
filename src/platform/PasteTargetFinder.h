#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Finds the folder into which another process pastes the clipboard placeholder: while that
// process reads the placeholder it holds the copy it writes open, and /proc/<pid>/fd shows it.
// A file manager may write under the placeholder's own name or under a temporary name beside
// it (".Quorva.txt.XXXXXX", "Quorva.txt.part"); both are recognised. Paths come from the kernel
// and are only ever used as paths.
class PasteTargetFinder {
public:
    struct OpenFile {
        std::filesystem::path path;
        bool forWriting = false;
    };

    // The files (only those with a path in the file system) process `pid` has open.
    static std::vector<OpenFile> OpenFiles(int64_t pid);

    // The folder of the copy of `placeholderName` that `pid` is writing, outside `ownFolder`
    // (where the placeholder itself lives). Without a file of that name, a single small file
    // written just now counts; several candidates or none give nothing. With `copyOf`, only a
    // file of that name, written just now, that holds a beginning of `copyOf` counts (for a
    // process that need not be the reader).
    static std::optional<std::filesystem::path> FindTarget(int64_t pid,
                                                           const std::string& placeholderName,
                                                           const std::filesystem::path& ownFolder,
                                                           const std::string* copyOf = nullptr);

    // Processes other than this one that have `file` open.
    static std::vector<int64_t> ProcessesWithOpen(const std::filesystem::path& file);
    // Every process other than this one.
    static std::vector<int64_t> OtherProcesses();

    // The rule of FindTarget over a list of open files (tests give their own lists).
    static std::optional<std::filesystem::path> ChooseTarget(const std::vector<OpenFile>& files,
                                                             const std::string& placeholderName,
                                                             const std::filesystem::path& ownFolder,
                                                             const std::string* copyOf = nullptr);
};

}  // namespace platform
