#pragma once

#include <filesystem>
#include <functional>

// What the "open_file" and "foldOpen" links of the transfer manager's rows do with a local
// file. The desktop's programs are started off the window thread (an opener may wait for the
// program it starts, the file manager's D-Bus call for the file manager), and nothing comes
// back but a logged failure. Tests put their own recorders here.
struct RowFileActions {
    std::function<void(const std::filesystem::path& file)> openFile;
    std::function<void(const std::filesystem::path& folder)> openFolder;

    // Opens the file with its program (the "open with" choice when none is associated) and the
    // folder in the file manager.
    static RowFileActions Desktop();
};
