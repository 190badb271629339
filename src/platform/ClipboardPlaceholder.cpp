#include "platform/ClipboardPlaceholder.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/PlaceholderFuseMount.h"
#include "platform/PlaceholderWatchedFile.h"

namespace fs = std::filesystem;

namespace platform {

ClipboardPlaceholder::ClipboardPlaceholder(std::string content, PasteHandler onPaste,
                                           NoTargetHandler onNoTarget)
    : m_rule(std::move(content)), m_onPaste(std::move(onPaste)), m_onNoTarget(std::move(onNoTarget)) {}

ClipboardPlaceholder::~ClipboardPlaceholder() { Stop(); }

const char* ClipboardPlaceholder::ModeName(Mode mode) {
    switch (mode) {
        case Mode::kFuse:
            return "a FUSE mount";
        case Mode::kWatchedFile:
            return "a plain file watched with inotify";
        case Mode::kStopped:
            break;
    }
    return "nothing";
}

bool ClipboardPlaceholder::Start(const fs::path& folder, bool allowFuse) {
    if (m_mode != Mode::kStopped) {
        return true;
    }
    m_folder = folder;
    PlaceholderFuseMount::ClearStaleMount(folder);
    std::error_code ec;
    fs::create_directories(folder, ec);
    // Private: only this user may look in.
    ::chmod(folder.c_str(), 0700);
    auto onPaste = [this](const fs::path& target) {
        if (m_onPaste) {
            m_onPaste(target);
        }
    };
    std::string error;
    if (allowFuse) {
        m_fuse = std::make_unique<PlaceholderFuseMount>(m_rule, kFileName, onPaste, m_onNoTarget);
        if (m_fuse->Mount(folder, &error)) {
            m_mode = Mode::kFuse;
            return true;
        }
        m_fuse.reset();
    }
    m_watched = std::make_unique<PlaceholderWatchedFile>(m_rule, kFileName, onPaste, m_onNoTarget);
    if (m_watched->Start(folder, &error)) {
        m_mode = Mode::kWatchedFile;
        return true;
    }
    m_watched.reset();
    return false;
}

void ClipboardPlaceholder::Stop() {
    if (m_fuse) {
        m_fuse->Unmount();
        m_fuse.reset();
    }
    if (m_watched) {
        m_watched->Stop();
        std::error_code ec;
        fs::remove(m_folder / kFileName, ec);
        m_watched.reset();
    }
    m_mode = Mode::kStopped;
}

fs::path ClipboardPlaceholder::GetPath() const { return m_folder / kFileName; }

void ClipboardPlaceholder::Arm() {
    if (m_watched) {
        m_watched->Rewrite();
    }
    m_rule.Arm();
}

void ClipboardPlaceholder::Disarm() {
    m_rule.Disarm();
    if (m_watched) {
        m_watched->Empty();
    }
}

bool ClipboardPlaceholder::IsPastedCopy(const fs::path& file) const {
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(file, ec)) || ec) {
        return false;
    }
    const auto size = fs::file_size(file, ec);
    const std::string& content = m_rule.Content();
    if (ec || size > content.size()) {
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    std::string held((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return held.size() == size && content.compare(0, held.size(), held) == 0;
}

}  // namespace platform
