#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// One header line of a reply ("Content-Length: 4096\r\n") as the transfers read it.
class HttpHeaderLine {
public:
    // The value of "Name: value" when the line holds that header (names compare without regard
    // to case, as HTTP has them), without the blanks around it and the line end; else nothing.
    static std::optional<std::string_view> Value(std::string_view line, std::string_view name);
    // A whole 64-bit decimal number that is the whole text, or nothing.
    static std::optional<int64_t> Number(std::string_view text);
    // The media type of a Content-Type value: the text before its parameters ("text/html" of
    // "text/html;charset=UTF-8"), in lower case.
    static std::string MediaType(std::string_view value);
};
