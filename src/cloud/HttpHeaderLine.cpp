#include "cloud/HttpHeaderLine.h"

#include <cctype>
#include <charconv>
#include <string>

std::optional<std::string_view> HttpHeaderLine::Value(std::string_view line,
                                                      std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':') {
        return std::nullopt;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) !=
            std::tolower(static_cast<unsigned char>(name[i]))) {
            return std::nullopt;
        }
    }
    std::string_view value = line.substr(name.size() + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
    }
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' ||
                              value.back() == ' ' || value.back() == '\t')) {
        value.remove_suffix(1);
    }
    return value;
}

std::optional<int64_t> HttpHeaderLine::Number(std::string_view text) {
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string HttpHeaderLine::MediaType(std::string_view value) {
    std::string type(value.substr(0, value.find_first_of(" ;\t")));
    for (char& c : type) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return type;
}
