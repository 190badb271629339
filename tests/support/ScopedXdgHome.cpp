#include "support/ScopedXdgHome.h"

#include <cstdlib>

namespace zorp::test {

ScopedXdgHome::ScopedXdgHome() : m_dir("zorp-xdg") {
    const std::pair<const char*, std::filesystem::path> folders[] = {
        {"XDG_DATA_HOME", dataHome()},
        {"XDG_CACHE_HOME", cacheHome()},
        {"XDG_CONFIG_HOME", configHome()},
    };
    for (const auto& [name, dir] : folders) {
        const char* previous = std::getenv(name);
        m_saved.emplace_back(name, previous ? previous : "");
        std::filesystem::create_directories(dir);
        ::setenv(name, dir.c_str(), 1);
    }
}

ScopedXdgHome::~ScopedXdgHome() {
    for (const auto& [name, value] : m_saved) {
        if (value.empty()) {
            ::unsetenv(name.c_str());
        } else {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
}

}  // namespace zorp::test
