#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Process-wide window resources: the program's folder, the skin folder ("ui" beside the
// program) and further skin folders looked in after it (the install location), and the message
// loop of the GUI thread that the entry runs.
class CPaintManagerUI {
public:
    static void SetInstancePath(const std::filesystem::path& path);
    static std::filesystem::path GetInstancePath();  // the program's folder by default

    static void SetResourcePath(const std::filesystem::path& path);
    static std::filesystem::path GetResourcePath();  // GetInstancePath() / "ui" by default
    static void AddResourceSearchPath(const std::filesystem::path& path);
    // The resource path first, then the added folders, in order.
    static std::vector<std::filesystem::path> GetResourceSearchPaths();
    // The first existing file of that name in the search paths; empty when there is none.
    static std::filesystem::path FindResourceFile(const std::string& name);
    // Changes whenever the search paths may have changed, so that what was read from the skin
    // folders can be kept until then.
    static uint64_t GetResourceGeneration();

    // The skin folder of an installed tree: "ui" in share/zorp beside the program's bin
    // folder, wherever the tree was installed or unpacked (ProgramFiles).
    static std::vector<std::filesystem::path> InstallSkinFolders();

    // Runs the message loop of the calling (GUI) thread until it is quit; returns its code.
    static int MessageLoop();
    // Ends MessageLoop with the code (any thread).
    static void QuitMessageLoop(int exitCode);
};
