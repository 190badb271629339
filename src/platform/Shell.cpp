#include "platform/Shell.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace platform {

int RunProgram(const std::vector<std::string>& argv, int timeoutMs) {
    if (argv.empty()) {
        return -1;
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return kProgramNotStarted;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0) {
            return -1;
        }
        if (timeoutMs > 0 && std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FileUri(const std::filesystem::path& path) {
    static const char* kHex = "0123456789ABCDEF";
    std::string uri = "file://";
    for (unsigned char c : path.string()) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            uri.push_back(static_cast<char>(c));
        } else {
            uri.push_back('%');
            uri.push_back(kHex[c >> 4]);
            uri.push_back(kHex[c & 15]);
        }
    }
    return uri;
}

OpenResult OpenWithAssociatedProgram(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        return OpenResult::kFailed;
    }
    if (RunProgram({"gio", "open", path.string()}) == 0) {
        return OpenResult::kOpened;
    }
    // xdg-open exits with 3 when no program handles the file, 4 when the action failed.
    int rc = RunProgram({"xdg-open", path.string()});
    if (rc == 0) {
        return OpenResult::kOpened;
    }
    return (rc == 3 || rc == 4) ? OpenResult::kNoAssociation : OpenResult::kFailed;
}

void OpenWithAssociatedProgramAsync(const std::filesystem::path& path,
                                    std::function<void(const std::string&, int)> done) {
    // The opener may wait for the program it starts (xdg-open does outside a known desktop),
    // so it is never waited for on the caller's thread, nor killed.
    std::thread([path, done = std::move(done)] {
        std::string opener = "xdg-open";
        int rc = RunProgram({opener, path.string()}, 0);
        if (rc == kProgramNotStarted) {
            opener = "gio open";
            rc = RunProgram({"gio", "open", path.string()}, 0);
        }
        if (done) {
            done(opener, rc);
        }
    }).detach();
}

bool OpenWithChooser(const std::filesystem::path& path) {
    // The portal's OpenURI asks the user which program to use when "ask" is true.
    std::string options = "{'ask': <true>}";
    return RunProgram({"gdbus", "call", "--session", "--dest", "org.freedesktop.portal.Desktop",
                       "--object-path", "/org/freedesktop/portal/desktop", "--method",
                       "org.freedesktop.portal.OpenURI.OpenURI", "", FileUri(path), options}) == 0;
}

bool ExploreFolder(const std::filesystem::path& folder) {
    std::string items = "['" + FileUri(folder) + "']";
    if (RunProgram({"gdbus", "call", "--session", "--dest", "org.freedesktop.FileManager1",
                    "--object-path", "/org/freedesktop/FileManager1", "--method",
                    "org.freedesktop.FileManager1.ShowItems", items, ""}) == 0) {
        return true;
    }
    return RunProgram({"gio", "open", folder.string()}) == 0 ||
           RunProgram({"xdg-open", folder.string()}) == 0;
}

namespace {

constexpr const char* kDirectoryFile = ".directory";
constexpr const char* kIconKey = "Icon=";

// Adds or removes our Icon entry in a KDE ".directory" file without touching other entries.
bool UpdateKdeDirectoryFile(const std::filesystem::path& folder, const std::filesystem::path& icon) {
    auto file = folder / kDirectoryFile;
    std::vector<std::string> lines;
    {
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind(kIconKey, 0) != 0) {
                lines.push_back(line);
            }
        }
    }
    bool onlyHeader = true;
    for (const auto& line : lines) {
        if (!line.empty() && line != "[Desktop Entry]") {
            onlyHeader = false;
        }
    }
    std::error_code ec;
    if (icon.empty()) {
        if (onlyHeader) {
            std::filesystem::remove(file, ec);
            return !ec;
        }
    } else {
        auto header = std::find(lines.begin(), lines.end(), "[Desktop Entry]");
        if (header == lines.end()) {
            lines.insert(lines.begin(), "[Desktop Entry]");
            header = lines.begin();
        }
        lines.insert(header + 1, std::string(kIconKey) + icon.string());
    }
    auto temp = file;
    temp += ".zorp-tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        for (const auto& line : lines) {
            out << line << '\n';
        }
        if (!out) {
            std::filesystem::remove(temp, ec);
            return false;
        }
    }
    std::filesystem::rename(temp, file, ec);
    return !ec;
}

}  // namespace

bool SetFolderCustomIcon(const std::filesystem::path& folder, const std::filesystem::path& icon) {
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        return false;
    }
    bool gvfs = icon.empty()
                    ? RunProgram({"gio", "set", "-t", "unset", folder.string(),
                                  "metadata::custom-icon"}, 5000) == 0
                    : RunProgram({"gio", "set", folder.string(), "metadata::custom-icon",
                                  FileUri(icon)}, 5000) == 0;
    // Only KDE's file manager reads ".directory"; elsewhere the file would just be clutter
    // that the backup itself would pick up.
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    bool kdeDesktop = desktop && std::string(desktop).find("KDE") != std::string::npos;
    bool kde = kdeDesktop && UpdateKdeDirectoryFile(folder, icon);
    return gvfs || kde;
}

}  // namespace platform
