#include "cloud/HttpStatusLine.h"

#include <cstdio>

int HttpStatusLine::Code(std::string_view line) {
    const std::string text(line);
    int major = 0;
    int minor = 0;
    int code = 0;
    const int fields = std::sscanf(text.c_str(), " HTTP/%d.%d %3d", &major, &minor, &code);
    if (fields > 0 && fields < 3) {
        code = 0;
        std::sscanf(text.c_str(), " HTTP %3d", &code);
    }
    return code > 0 ? code : 0;
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
