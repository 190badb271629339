// Fuzzes what the page controls: the byte stream of the link, cut into receives of any size,
// split into messages, decoded by the decoder of the type each names, and handed to parseMsg.
// Besides crashes and sanitizer reports it checks that the splitter finds the same messages
// however the stream is cut, and that what a decoder gives back, written the way the page
// writes it, decodes to the same records.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "upload/FileBackupMgr.h"
#include "core/Logging.h"
#include "core/Options.h"
#include "download/FileDownloadMgr.h"
#include "link/ClientInterfaceMgr.h"
#include "link/LinkDecoder.h"
#include "link/LinkMessageSplitter.h"
#include "link/LinkRequestEncoder.h"
#include "localedit/LocalEditMgr.h"

namespace {

constexpr size_t kCap = 64 * 1024;

std::vector<std::string> SplitAll(std::string_view stream, size_t chunk) {
    LinkMessageSplitter splitter(kCap);
    std::vector<std::string> messages;
    for (size_t offset = 0; offset < stream.size(); offset += chunk) {
        auto result = splitter.Feed(stream.substr(offset, chunk));
        for (auto& message : result.messages) {
            if (message.size() < 2 || message.front() != '{' || message.back() != '}') {
                __builtin_trap();  // the splitter handed out something that is not an object
            }
            messages.push_back(std::move(message));
        }
        if (splitter.PendingBytes() > kCap + chunk) {
            __builtin_trap();  // the unfinished-message buffer outgrew its cap
        }
    }
    return messages;
}

template <typename Records, typename Encode, typename Decode>
void CheckRoundTrip(const Records& records, Encode encode, Decode decode) {
    const LinkProtocol::DecodedMessage again =
        LinkProtocol::DecodeMessage(LinkProtocol::RequestText(encode(records)));
    if (decode(again.message) != records) {
        __builtin_trap();  // the page's writing and the process's reading disagree
    }
}

void DecodeTyped(const std::string& text) {
    using namespace LinkProtocol;
    const DecodedMessage decoded = DecodeMessage(text);
    const Json::Value& message = decoded.message;
    switch (static_cast<In>(decoded.type)) {
        case In::kCookies:
        case In::kGoOnline:
            CheckRoundTrip(
                DecodeCookies(message),
                [](const std::vector<Cookie>& cookies) {
                    return EncodeCookies(In::kCookies, cookies);
                },
                DecodeCookies);
            break;
        case In::kDownload:
            CheckRoundTrip(DecodeDownloads(message), EncodeDownloads,
                           [](const Json::Value& m) { return DecodeDownloads(m); });
            break;
        case In::kUpload:
            CheckRoundTrip(DecodeUploads(message), EncodeUploads, DecodeUploads);
            break;
        case In::kCancelUpload:
            CheckRoundTrip(DecodeCancels(message), EncodeCancels, DecodeCancels);
            break;
        case In::kLocalEdit:
            CheckRoundTrip(DecodeLocalEdits(message), EncodeLocalEdits, DecodeLocalEdits);
            break;
        case In::kBatchDownload:
            CheckRoundTrip(DecodeBatchDownloads(message), EncodeBatchDownloads,
                           [](const Json::Value& m) { return DecodeBatchDownloads(m); });
            break;
        case In::kProxy:
            CheckRoundTrip(DecodeProxy(message), EncodeProxy, DecodeProxy);
            break;
        case In::kEditNames:
            CheckRoundTrip(DecodeEditNames(message), EncodeEditNames, DecodeEditNames);
            break;
        case In::kClipboardCopy:
            CheckRoundTrip(DecodeClipboardCopy(message), EncodeClipboardCopy, DecodeClipboardCopy);
            break;
        default:  // the types without members, unknown types and -1
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Never started: parseMsg alone, with no window to post to.
    static ClientInterfaceMgr* mgr = [] {
        logging::SetMinStderrSeverity(logging::LOG_FATAL);
        return new ClientInterfaceMgr();
    }();
    if (size == 0) {
        return 0;
    }
    // The first byte chooses the receive size, so that cuts fall everywhere.
    const size_t chunk = static_cast<size_t>(data[0]) + 1;
    std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::vector<std::string> messages = SplitAll(stream, chunk);
    if (messages != SplitAll(stream, stream.size() + 1)) {
        __builtin_trap();  // the result depends on where the receives ended
    }
    for (const auto& message : messages) {
        DecodeTyped(message);
        mgr->parseMsg(message);
    }
    // Texts the splitter would never produce reach parseMsg too.
    DecodeTyped(std::string(stream));
    mgr->parseMsg(std::string(stream));

    // Keep the stores from growing from one input to the next.
    FileBackupMgr::GetInstance().reset();
    FileDownloadMgr::GetInstance().clearAll();
    LocalEditMgr::GetInstance().takeEditRequests();
    LocalEditMgr::GetInstance().takeFidNameList();
    COptions::GetInstance().ClearCookies();
    return 0;
}
