#include "cloud/HttpStatusLine.h"


int HttpStatusLine::Code(std::string_view line) {
    // "HTTP", then a version of any form ("/1.1", "/2", "/3") or none, blanks, three digits.
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!line.empty() && isBlank(line.front())) {
        line.remove_prefix(1);
    }
    if (line.substr(0, 4) != "HTTP") {
        return 0;
    }
    line.remove_prefix(4);
    if (!line.empty() && line.front() == '/') {
        while (!line.empty() && !isBlank(line.front())) {
            line.remove_prefix(1);
        }
    }
    if (line.empty() || !isBlank(line.front())) {
        return 0;
    }
    while (!line.empty() && isBlank(line.front())) {
        line.remove_prefix(1);
    }
    int code = 0;
    size_t digits = 0;
    while (digits < line.size() && digits < 3 && line[digits] >= '0' && line[digits] <= '9') {
        code = code * 10 + (line[digits] - '0');
        ++digits;
    }
    return digits == 3 && code > 0 ? code : 0;
}

std::string HttpStatusLine::Trimmed(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.remove_suffix(1);
    }
    return std::string(line);
}

std::string HttpStatusLine::Shown(std::string_view line) {
    std::string shown;
    for (char c : line) {
        if (c == '\r') {
            shown += "[0x0D]";
        } else if (c == '\n') {
            shown += "[0x0A]";
        } else {
            shown += c;
        }
    }
    return shown;
}
