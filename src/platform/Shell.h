#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// Runs a program (looked up on PATH) with its arguments, no shell involved, output discarded.
// Returns its exit code, or -1 when it could not be started, was killed, or ran past the
// time-out (it is then killed).
int RunProgram(const std::vector<std::string>& argv, int timeoutMs = 10000);

enum class OpenResult {
    kOpened,
    kNoAssociation,  // no program is registered for the file
    kFailed,
};

// Opens the file with the program the desktop associates with it.
OpenResult OpenWithAssociatedProgram(const std::filesystem::path& path);

// Lets the user pick the program ("open with" through the desktop portal).
bool OpenWithChooser(const std::filesystem::path& path);

// Opens the folder in the file manager.
bool ExploreFolder(const std::filesystem::path& folder);

// Shows the file manager's custom icon `icon` on the folder (GVfs metadata and a KDE
// ".directory" entry), or removes it when `icon` is empty. Best effort: returns whether
// at least one mechanism took it.
bool SetFolderCustomIcon(const std::filesystem::path& folder, const std::filesystem::path& icon);

// file:// URI of an absolute path, with every byte outside the unreserved set escaped.
std::string FileUri(const std::filesystem::path& path);

}  // namespace platform
