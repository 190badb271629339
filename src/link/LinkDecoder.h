#pragma once

#include <json/value.h>

#include <optional>
#include <string>
#include <vector>

#include "link/LinkMessages.h"

// Page to process: the text of one message into its type and JSON, and the JSON of each
// incoming type into its records. The decoders only read: storing the records with the
// managers and telling the dispatcher is the message server's part (ClientInterfaceMgr).
//
// Every decoder takes the whole message and reads what its type carries; a member that is
// missing or of the wrong JSON type reads as 0 or "" (an array as empty). Elements that would
// be unsafe to act on (a relative download target, a name that is not one path component) are
// left out with a warning.
namespace LinkProtocol {

struct DecodedMessage {
    int type = -1;  // -1: not JSON, or no integer "type"; any other number is returned as it is
    Json::Value message;
};

// Not JSON is logged ("ClientInterfaceMgr::parseMsg failed"); a missing "type" is not.
DecodedMessage DecodeMessage(const std::string& text);

// The page's side: the type of a message the process sent, or nullopt when the text is no
// JSON object with an integer "type".
std::optional<Out> OutTypeOf(const std::string& text);

// In::kCookies and In::kGoOnline: "values".
std::vector<Cookie> DecodeCookies(const Json::Value& message);
// In::kDownload. Targets that are not absolute paths, or whose last component is not a plain
// file name, are left out; `refused` (when given) receives the name of each one left out, so
// that the page can be told it failed.
std::vector<DownloadObject> DecodeDownloads(const Json::Value& message,
                                            std::vector<std::string>* refused = nullptr);
// In::kUpload. Paths that are empty or hold a NUL are left out, and so are objects left
// without a path.
std::vector<UploadObject> DecodeUploads(const Json::Value& message);
// In::kCancelUpload. A fid is a decimal string or an integer; anything else is left out.
std::vector<CancelObject> DecodeCancels(const Json::Value& message);
// In::kLocalEdit. Objects whose name is not a plain file name are left out.
std::vector<LocalEditObject> DecodeLocalEdits(const Json::Value& message);
// In::kBatchDownload. Objects whose target is not absolute, and items whose name is not a
// plain file name, are left out; `refused` (when given) receives the names of the items left
// out.
std::vector<BatchObject> DecodeBatchDownloads(const Json::Value& message,
                                              std::vector<std::string>* refused = nullptr);
// In::kProxy: "values" as a string.
std::string DecodeProxy(const Json::Value& message);
// In::kEditNames.
std::vector<EditNameEntry> DecodeEditNames(const Json::Value& message);
// In::kClipboardCopy: the items of every group, in order. Items whose name is not a plain file
// name are left out.
std::vector<ClipboardItem> DecodeClipboardCopy(const Json::Value& message);

}  // namespace LinkProtocol
