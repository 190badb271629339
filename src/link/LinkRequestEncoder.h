#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "link/LinkMessages.h"

// The page's side of the link: its request messages, built from the records the decoders of
// LinkDecoder.h give back, member for member. zorp-page and the tests play the page with
// them; what they send decodes to the records they were built from.
namespace LinkProtocol {

// `{"type":N}` alone: the requests that carry nothing else (In::kHello, In::kQuit, ...).
Json::Value EncodeRequest(In type);
// In::kCookies or In::kGoOnline.
Json::Value EncodeCookies(In type, const std::vector<Cookie>& cookies);
Json::Value EncodeDownloads(const std::vector<DownloadObject>& files);
Json::Value EncodeUploads(const std::vector<UploadObject>& files);
// The fids go as decimal strings, as the page writes them.
Json::Value EncodeCancels(const std::vector<CancelObject>& files);
// Each token is JSON text, sent as the JSON it holds (null when it holds none).
Json::Value EncodeLocalEdits(const std::vector<LocalEditObject>& files);
Json::Value EncodeBatchDownloads(const std::vector<BatchObject>& batches);
Json::Value EncodeProxy(const std::string& proxy);
Json::Value EncodeEditNames(const std::vector<EditNameEntry>& entries);
// The items in one group.
Json::Value EncodeClipboardCopy(const std::vector<ClipboardItem>& items);

// The message as compact JSON text, the way the page sends it.
std::string RequestText(const Json::Value& message);

}  // namespace LinkProtocol
