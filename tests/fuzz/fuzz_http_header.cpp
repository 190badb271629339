// Fuzzes the reading of reply header lines as the transfers see them: the status line's code
// and text (HttpStatusLine), the named headers and their numbers and media types
// (HttpHeaderLine), and the download probe's parser of a whole header block
// (CHeaderDownloader::OnHeaderLine). Checks the codes stay within three digits, only a sign and digits
// read as a number, and a probe's figures come only from lines that carried them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cloud/HttpHeaderLine.h"
#include "cloud/HttpStatusLine.h"
#include "core/Logging.h"
#include "download/CHeaderDownloader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        logging::SetMinStderrSeverity(logging::LOG_FATAL);
        return true;
    }();
    (void)quiet;
    std::string_view block(reinterpret_cast<const char*>(data), size);
    CHeaderDownloader probe(nullptr, nullptr);
    bool sawLength = false;
    bool sawRange = false;
    while (!block.empty()) {
        // libcurl hands over one line at a time, with its line end.
        const size_t end = block.find('\n');
        const std::string_view line = block.substr(0, end == std::string_view::npos ? end : end + 1);
        block.remove_prefix(line.size());

        const int code = HttpStatusLine::Code(line);
        if (code < 0 || code > 999) {
            __builtin_trap();
        }
        const std::string trimmed = HttpStatusLine::Trimmed(line);
        if (trimmed.size() > line.size() ||
            (!trimmed.empty() && (trimmed.back() == '\r' || trimmed.back() == '\n'))) {
            __builtin_trap();
        }
        (void)HttpStatusLine::Shown(line);
        if (code != 0) {
            sawLength = sawRange = false;  // a new reply: the earlier figures are gone
        }
        for (const char* name : {"Content-Length", "Content-Range", "Content-Type", "Accept-Ranges"}) {
            const auto value = HttpHeaderLine::Value(line, name);
            if (!value) {
                continue;
            }
            if (value->size() >= line.size()) {
                __builtin_trap();
            }
            if (const auto number = HttpHeaderLine::Number(*value)) {
                // Only a sign and digits read as a number.
                for (size_t i = 0; i < value->size(); ++i) {
                    const char c = (*value)[i];
                    if (!(c >= '0' && c <= '9') && !(i == 0 && c == '-')) {
                        __builtin_trap();
                    }
                }
                if (std::string_view(name) == "Content-Length") {
                    sawLength = true;
                }
            }
            if (std::string_view(name) == "Content-Range") {
                sawRange = true;
            }
            (void)HttpHeaderLine::MediaType(*value);
        }
        probe.OnHeaderLine(line);
        if (probe.GetContentLength() != -1 && !sawLength) {
            __builtin_trap();  // a length no line of this reply carried
        }
        if (probe.GetRangeTotal() != -1 && !sawRange) {
            __builtin_trap();
        }
    }
    return 0;
}
