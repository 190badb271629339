#pragma once

#include <string>
#include <string_view>

// The header lines of a reply as the transfers read them: a status line ("HTTP/1.1 206 Partial
// Content", libcurl's "HTTP/2 200", or "HTTP 200" from servers that leave out the version)
// gives the code, and the
// line without its line end is the text a failed task shows. For verbose logs a line is shown
// with its CR and LF spelled out.
class HttpStatusLine {
public:
    // The code of a status line; 0 for any other line.
    static int Code(std::string_view line);
    // The line without its trailing CR and LF.
    static std::string Trimmed(std::string_view line);
    // CR as "[0x0D]", LF as "[0x0A]".
    static std::string Shown(std::string_view line);
};
