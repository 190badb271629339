#include "ui/PaintManagerUI.h"

#include <algorithm>

#include "core/ProgramFiles.h"
#include "platform/MessageLoop.h"
#include "platform/SystemInfo.h"
#include "ui/QtMessageLoop.h"

namespace fs = std::filesystem;

namespace {

struct Resources {
    fs::path instancePath;
    fs::path resourcePath;
    std::vector<fs::path> searchPaths;
    uint64_t generation = 0;
};

// Touched from the GUI thread only.
Resources& GetResources() {
    static Resources* resources = new Resources();
    return *resources;
}

}  // namespace

void CPaintManagerUI::SetInstancePath(const fs::path& path) {
    GetResources().instancePath = path;
    ++GetResources().generation;  // the default resource path is beside it
}

fs::path CPaintManagerUI::GetInstancePath() {
    const Resources& r = GetResources();
    return r.instancePath.empty() ? platform::ExecutableDir() : r.instancePath;
}

void CPaintManagerUI::SetResourcePath(const fs::path& path) {
    GetResources().resourcePath = path;
    ++GetResources().generation;
}

fs::path CPaintManagerUI::GetResourcePath() {
    const Resources& r = GetResources();
    return r.resourcePath.empty() ? GetInstancePath() / "ui" : r.resourcePath;
}

void CPaintManagerUI::AddResourceSearchPath(const fs::path& path) {
    auto& paths = GetResources().searchPaths;
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
        paths.push_back(path);
        ++GetResources().generation;
    }
}

uint64_t CPaintManagerUI::GetResourceGeneration() { return GetResources().generation; }

std::vector<fs::path> CPaintManagerUI::GetResourceSearchPaths() {
    std::vector<fs::path> paths{GetResourcePath()};
    for (const auto& path : GetResources().searchPaths) {
        if (path != paths.front()) {
            paths.push_back(path);
        }
    }
    return paths;
}

fs::path CPaintManagerUI::FindResourceFile(const std::string& name) {
    if (name.empty()) {
        return {};
    }
    for (const auto& folder : GetResourceSearchPaths()) {
        std::error_code ec;
        fs::path candidate = folder / name;
        if (fs::is_regular_file(candidate, ec)) {
            return candidate;
        }
    }
    return {};
}

std::vector<fs::path> CPaintManagerUI::InstallSkinFolders() {
    return {ProgramFiles::InstalledDataDir(platform::ExecutableDir()) / "ui"};
}

int CPaintManagerUI::MessageLoop() {
    auto* loop = dynamic_cast<QtMessageLoop*>(platform::MessageLoop::Current());
    return loop ? loop->Run() : -1;
}

void CPaintManagerUI::QuitMessageLoop(int exitCode) {
    if (platform::MessageLoop* loop = platform::MessageLoop::Current()) {
        loop->Quit(exitCode);
    }
}
