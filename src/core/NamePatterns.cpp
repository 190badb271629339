#include "core/NamePatterns.h"

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EndsWithIgnoringCase(std::string_view name, std::string_view end) {
    if (end.size() > name.size()) {
        return false;
    }
    const std::string_view tail = name.substr(name.size() - end.size());
    for (size_t i = 0; i < end.size(); ++i) {
        if (Lower(tail[i]) != Lower(end[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

NamePatterns::NamePatterns(std::string_view text) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start) {
            m_patterns.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
}

bool NamePatterns::Matches(std::string_view name) const {
    for (const std::string& pattern : m_patterns) {
        const bool extension =
            pattern.front() == '.' && pattern.find_first_of("*?") == std::string::npos;
        const bool match =
            extension ? EndsWithIgnoringCase(name, pattern) : Wildcard(pattern, name);
        if (match) {
            return true;
        }
    }
    return false;
}

bool NamePatterns::Wildcard(std::string_view pattern, std::string_view name) {
    // Greedy match that returns to the last "*" on a mismatch: linear for the short patterns
    // of the list, whatever the name.
    size_t p = 0;
    size_t n = 0;
    size_t star = std::string_view::npos;
    size_t resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}
