#include "NameRules.h"

bool NameRules::IsValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameBytes || name == "." || name == "..") {
        return false;
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') {
            return false;
        }
    }
    return true;
}

std::optional<std::vector<std::string>> NameRules::SplitFolderPath(const std::string& path) {
    std::vector<std::string> names;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find_first_of("/\\", at);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string step = path.substr(at, end - at);
        if (!step.empty()) {
            if (!IsValidName(step) || names.size() == kMaxDepth) {
                return std::nullopt;
            }
            names.push_back(std::move(step));
        }
        at = end + 1;
    }
    if (names.empty()) {
        return std::nullopt;
    }
    return names;
}
