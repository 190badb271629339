#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

// The text of the messages this process sends to the page. They are assembled as text, the
// way the page has always received them: numbers in decimal, "info" and "token" inserted as
// ready JSON (compact, with the writer's trailing newline). Names are escaped, so a quote or a
// backslash in a name cannot break the message.
class LinkMessageWriter {
public:
    // Update types whose entries are JSON objects (the others carry names).
    static bool IsObjectUpdate(int type) { return type >= 14 && type <= 21; }

    // The whole update message of type N for the drained entries. Name lists (1, 2, 5, 6) and
    // object lists (14 to 21) with nothing to report, and unknown types, become the
    // keep-alive; types 3 and 4 report an empty list as `,"files":[]`.
    static std::string ComposeUpdateMsg(int type, const std::vector<std::string>& entries);
    static std::string KeepAliveMsg() { return "{\"type\":23}"; }

    // Entries (the text between the braces of one object, or inside the quotes of one name).
    static std::string UpldInfoEntry(int64_t fid, int64_t pid, const std::string& infoJson);
    static std::string UpldProgressEntry(int64_t fid, int64_t pid, int64_t size, int64_t position);
    static std::string UpldRemovedEntry(int64_t fid, int64_t pid);
    static std::string EditDnldProgressEntry(int64_t fid, int64_t size, int64_t position,
                                             const std::string& name, const std::string& tokenJson);
    static std::string EditDnldResultEntry(int64_t fid, const std::string& name,
                                           const std::string& tokenJson);
    // A name of a names list: shortened, then escaped (without the surrounding quotes).
    static std::string NameEntry(const std::string& name);

    // A name of 23 UTF-16 units or more is cut to its first 20 units, trailing white space is
    // removed and "..." appended; shorter names are returned whole. A cut never splits a
    // surrogate pair.
    static std::string ShortenName(const std::string& name);
    // The text escaped for the inside of a JSON string.
    static std::string EscapeJsonText(const std::string& text);
    // Compact JSON text followed by a newline, as the compact writer has always produced it.
    static std::string CompactJson(const Json::Value& value);
};
