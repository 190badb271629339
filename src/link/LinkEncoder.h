#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "link/LinkProtocol.h"

// Process to page: the text of every message this process sends. They are assembled as text:
// numbers in decimal, "info" and "token" inserted as ready JSON (compact, with the writer's
// trailing newline). Names are escaped, so a quote or a backslash in a name cannot break the
// message.
namespace LinkProtocol {

// `{"type":N}`: the replies (Out::kHelloReply, Out::kCookiesReply), the state notices and the
// keep-alive.
std::string SimpleMsg(Out type);
inline std::string KeepAliveMsg() {
    return SimpleMsg(Out::kKeepAlive);
}

// The whole update message of the type for the drained entries. Name lists and object lists
// with nothing to report, and types that are no update, become the keep-alive; the finished
// names (ReportsEmptyList) report an empty list as `,"files":[]`.
std::string ComposeUpdateMsg(Out type, const std::vector<std::string>& entries);

// The update types waiting to be sent, in the order their messages go out: the order they
// were first queued, except that Out::kUploadCreated goes ahead of any waiting progress,
// complete or removal (a file's "created" is its first news, and those may already wait for
// other files). A type already waiting keeps its place.
void AddPendingUpdate(std::vector<Out>& pending, Out type);

// Entries (the text between the braces of one object, or inside the quotes of one name).
// Out::kUploadCreated, Out::kUploadComplete, Out::kFolderCreated:
std::string UpldInfoEntry(int64_t fid, int64_t pid, const std::string& infoJson);
// Out::kUploadProgress:
std::string UpldProgressEntry(int64_t fid, int64_t pid, int64_t size, int64_t position);
// Out::kUploadRemoved:
std::string UpldRemovedEntry(int64_t fid, int64_t pid);
// Out::kEditDnldProgress:
std::string EditDnldProgressEntry(int64_t fid, int64_t size, int64_t position,
                                  const std::string& name, const std::string& tokenJson);
// Out::kEditDnldDone, Out::kEditDnldFailed:
std::string EditDnldResultEntry(int64_t fid, const std::string& name, const std::string& tokenJson);
// A name of a names list: shortened, then escaped (without the surrounding quotes).
std::string NameEntry(const std::string& name);

// A name of 23 UTF-16 units or more is cut to its first 20 units, trailing white space is
// removed and "..." appended; shorter names are returned whole. A cut never splits a
// surrogate pair.
std::string ShortenName(const std::string& name);
// The text escaped for the inside of a JSON string.
std::string EscapeJsonText(const std::string& text);
// Compact JSON text followed by a newline: the form of "info" and "token" on the link.
std::string CompactJson(const Json::Value& value);

}  // namespace LinkProtocol
