#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/TempDir.h"

namespace zorp::test {

// Points XDG_DATA_HOME, XDG_CACHE_HOME and XDG_CONFIG_HOME at fresh folders for the lifetime of
// the object and restores the previous values afterwards, so that tests sharing one process
// (and the options singleton) each start from empty user folders.
class ScopedXdgHome {
public:
    ScopedXdgHome();
    ~ScopedXdgHome();
    ScopedXdgHome(const ScopedXdgHome&) = delete;
    ScopedXdgHome& operator=(const ScopedXdgHome&) = delete;

    const std::filesystem::path& root() const { return m_dir.path(); }
    std::filesystem::path dataHome() const { return m_dir.path() / "data"; }
    std::filesystem::path cacheHome() const { return m_dir.path() / "cache"; }
    std::filesystem::path configHome() const { return m_dir.path() / "config"; }
    // $XDG_DATA_HOME/Quorva/User Data, where the options keep the databases.
    std::filesystem::path userDataDir() const { return dataHome() / "Quorva" / "User Data"; }

private:
    TempDir m_dir;
    std::vector<std::pair<std::string, std::string>> m_saved;  // (name, previous value)
};

}  // namespace zorp::test
