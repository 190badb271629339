// Fuzzes every decoder of the link on any JSON, whatever type the message names: fuzz_link
// reaches each typed decoder only through its own type, and neither the lists of refused names
// the download decoders fill nor the page's reading of the process's messages (OutTypeOf).
// Checks that a decoder never hands out what it promises to leave out (a download target that
// is not absolute, a name that is not one path component), and that what the decoders read,
// written the way the page writes it, reads back the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/CommonUtils.h"
#include "core/Logging.h"
#include "link/LinkDecoder.h"
#include "link/LinkRequestEncoder.h"

namespace {

using namespace LinkProtocol;

template <typename Records, typename Encode, typename Decode>
void CheckRoundTrip(const Records& records, Encode encode, Decode decode) {
    const DecodedMessage again = DecodeMessage(RequestText(encode(records)));
    if (decode(again.message) != records) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        logging::SetMinStderrSeverity(logging::LOG_FATAL);
        return true;
    }();
    (void)quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)OutTypeOf(text);
    const DecodedMessage decoded = DecodeMessage(text);
    const Json::Value& message = decoded.message;

    std::vector<std::string> refused;
    const auto downloads = DecodeDownloads(message, &refused);
    for (const auto& download : downloads) {
        const size_t slash = download.path.rfind('/');
        if (download.path.empty() || download.path[0] != '/' ||
            !CommonUtils::IsPlainName(download.path.substr(slash + 1))) {
            __builtin_trap();  // a target the decoder promised to leave out
        }
    }
    CheckRoundTrip(downloads, EncodeDownloads, [](const Json::Value& m) { return DecodeDownloads(m); });
    refused.clear();
    const auto batches = DecodeBatchDownloads(message, &refused);
    for (const auto& batch : batches) {
        if (batch.path.empty() || batch.path[0] != '/') {
            __builtin_trap();
        }
        for (const auto& item : batch.files) {
            if (!CommonUtils::IsPlainName(item.name)) {
                __builtin_trap();
            }
        }
    }
    CheckRoundTrip(batches, EncodeBatchDownloads,
                   [](const Json::Value& m) { return DecodeBatchDownloads(m); });
    CheckRoundTrip(DecodeCookies(message),
                   [](const std::vector<Cookie>& cookies) { return EncodeCookies(In::kCookies, cookies); },
                   DecodeCookies);
    CheckRoundTrip(DecodeUploads(message), EncodeUploads, DecodeUploads);
    CheckRoundTrip(DecodeCancels(message), EncodeCancels, DecodeCancels);
    const auto edits = DecodeLocalEdits(message);
    CheckRoundTrip(edits, EncodeLocalEdits, DecodeLocalEdits);
    CheckRoundTrip(DecodeProxy(message), EncodeProxy, DecodeProxy);
    CheckRoundTrip(DecodeEditNames(message), EncodeEditNames, DecodeEditNames);
    const auto clipboard = DecodeClipboardCopy(message);
    for (const auto& item : clipboard) {
        if (!CommonUtils::IsPlainName(item.name)) {
            __builtin_trap();
        }
    }
    CheckRoundTrip(clipboard, EncodeClipboardCopy, DecodeClipboardCopy);
    return 0;
}
