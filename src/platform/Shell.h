#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// Runs a program (looked up on PATH) with its arguments, no shell involved, output discarded.
// Returns its exit code, or -1 when it could not be started, was killed, or ran past the
// time-out (it is then killed). A time-out of 0 or less waits for as long as it runs.
int RunProgram(const std::vector<std::string>& argv, int timeoutMs = 10000);
// The exit code RunProgram gives a program that could not be started at all.
inline constexpr int kProgramNotStarted = -2;

enum class OpenResult {
    kOpened,
    kNoAssociation,  // no program is registered for the file
    kFailed,
};

// Opens the file with the program the desktop associates with it.
OpenResult OpenWithAssociatedProgram(const std::filesystem::path& path);

// Opens the file with the desktop's program on a thread of its own and returns at once:
// `xdg-open` (or `gio open` where there is no xdg-open), which may run as long as the program
// it starts. `done` gets the opener's name and exit code (kProgramNotStarted when neither could
// be started) on that thread.
void OpenWithAssociatedProgramAsync(const std::filesystem::path& path,
                                    std::function<void(const std::string& opener, int exitCode)> done);

// Lets the user pick the program ("open with" through the desktop portal).
bool OpenWithChooser(const std::filesystem::path& path);

// Opens the folder in the file manager (its ShowItems over D-Bus, else opening the folder).
bool ExploreFolder(const std::filesystem::path& folder);

// Shows the file manager's custom icon `icon` on the folder (GVfs metadata and a KDE
// ".directory" entry), or removes it when `icon` is empty. Best effort: returns whether
// at least one mechanism took it.
bool SetFolderCustomIcon(const std::filesystem::path& folder, const std::filesystem::path& icon);

// file:// URI of an absolute path, with every byte outside the unreserved set escaped.
std::string FileUri(const std::filesystem::path& path);

}  // namespace platform
