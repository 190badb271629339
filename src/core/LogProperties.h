#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The logging switches of "log.properties": a JSON object with "enable" (the number 1 turns
// the verbose lines on) and "path" (the folder of the log file; empty means the current folder).
// A missing, unreadable or malformed file leaves both at their defaults: logging still starts,
// without verbose lines, in the current folder.
struct LogProperties {
    bool enable = false;
    std::filesystem::path path;
    bool found = false;  // a file was read and parsed

    // Reads the first of `candidates` that exists (later ones are not looked at).
    static LogProperties Read(const std::vector<std::filesystem::path>& candidates);
    // Parses the file's text.
    static LogProperties Parse(const std::string& text);

    // Where the log file goes: the folder, then the file name.
    std::filesystem::path LogFilePath(const std::string& fileName) const;
};
