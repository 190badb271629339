#include "DownloadAction.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <vector>

#include "ActionRequest.h"
#include "CloudStatus.h"
#include "ConnectionStream.h"
#include "Reply.h"

namespace {

void Fail(httplib::Response& response, int httpStatus, int status, const std::string& text) {
    Reply::Error(response, status, text);
    response.status = httpStatus;
}

// Parses a single "bytes=first-last", "bytes=first-" or "bytes=-suffix" against `size`.
// Returns false when the header is not one such range (it is then ignored); sets
// `satisfiable` to false when it is one but lies outside the content.
bool ParseRange(const std::string& header, int64_t size, int64_t& first, int64_t& last,
                bool& satisfiable) {
    const std::string prefix = "bytes=";
    if (header.rfind(prefix, 0) != 0 || header.find(',') != std::string::npos) {
        return false;
    }
    const std::string range = header.substr(prefix.size());
    const size_t dash = range.find('-');
    if (dash == std::string::npos) {
        return false;
    }
    const std::string from = range.substr(0, dash);
    const std::string to = range.substr(dash + 1);
    const bool hasFirst = !from.empty();
    const bool hasLast = !to.empty();
    int64_t a = 0;
    int64_t b = 0;
    if (hasFirst) {
        auto parsed = ActionRequest::ParseNumber(from);
        if (!parsed) {
            return false;
        }
        a = *parsed;
    }
    if (hasLast) {
        auto parsed = ActionRequest::ParseNumber(to);
        if (!parsed) {
            return false;
        }
        b = *parsed;
    }
    if (!hasFirst && !hasLast) {
        return false;
    }
    satisfiable = true;
    if (!hasFirst) {  // the last b bytes
        if (b <= 0 || size == 0) {
            satisfiable = false;
            return true;
        }
        first = std::max<int64_t>(0, size - b);
        last = size - 1;
        return true;
    }
    first = a;
    last = hasLast ? std::min(b, size - 1) : size - 1;
    if (first < 0 || first >= size || (hasLast && b < first)) {
        satisfiable = false;
    }
    return true;
}

std::string EscapeFileName(const std::string& name) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

}  // namespace

void DownloadAction::Get(const httplib::Request& request, httplib::Response& response) {
    // A stall without a byte count comes before anything is sent; with one, in the body.
    auto stall = m_context.faults.Take("download", FaultInjector::Kind::kStall);
    if (stall && stall->afterBytes <= 0) {
        if (!m_context.faults.Sleep(stall->value)) {
            if (auto* connection = ConnectionStream::Current()) {
                connection->Drop();  // the server stops
            }
            return;
        }
        stall.reset();
    }
    if (m_context.faults.Take("download", FaultInjector::Kind::kMalformed)) {
        // A server that answers with a cut envelope where the file's bytes belong.
        response.status = 200;
        response.set_content("{\"status\":0,\"data\":{\"fi", "application/json;charset=UTF-8");
        return;
    }
    ActionRequest in(request);
    int64_t fid = 0;
    int64_t breakPoint = 0;
    if (!in.Number("fid", fid) || !in.Number("breakPoint", breakPoint, 0)) {
        return Fail(response, 400, kStatusBadParameter, in.BadParameterText());
    }
    auto record = m_context.metadata.Get(fid);
    if (!record || !record->HasContent()) {
        return Fail(response, 404, kStatusNotFound, CloudStatusText(kStatusNotFound));
    }
    const int64_t size = record->size;
    if (breakPoint < 0 || breakPoint > size) {
        Fail(response, 416, kStatusBadParameter, "break point outside the file");
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
    }
    // A server that loses its place: the content from another offset, under the same reply.
    if (auto wrong = m_context.faults.Take("download", FaultInjector::Kind::kWrongBreakPoint)) {
        breakPoint = std::clamp<int64_t>(wrong->value, 0, size);
    }
    const int64_t available = size - breakPoint;  // what this request can see
    int64_t first = 0;
    int64_t last = available - 1;
    bool satisfiable = true;
    const bool ranged = request.has_header("Range") &&
                        ParseRange(request.get_header_value("Range"), available, first, last,
                                   satisfiable);
    // An empty file has no byte to range over; it is sent whole (0 bytes) with 200.
    if (ranged && available > 0 && !satisfiable) {
        Fail(response, 416, kStatusBadParameter, "range not satisfiable");
        response.set_header("Content-Range", "bytes */" + std::to_string(available));
        return;
    }
    response.set_header("Accept-Ranges", "bytes");
    response.set_header("Content-Disposition",
                        "attachment; filename*=UTF-8''" + EscapeFileName(record->name));
    response.set_header("ETag", "\"" + record->hash + "\"");
    if (available == 0) {
        response.status = 200;
        response.set_content("", "application/octet-stream");
        return;
    }
    if (ranged) {
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                 std::to_string(last) + "/" +
                                                 std::to_string(available));
    } else {
        response.status = 200;
    }
    std::shared_ptr<std::FILE> file(m_context.content.OpenObject(record->hash).release(),
                                    [](std::FILE* f) {
                                        if (f) {
                                            std::fclose(f);
                                        }
                                    });
    if (!file) {
        return Fail(response, 500, kStatusStorageError, CloudStatusText(kStatusStorageError));
    }
    const int64_t start = breakPoint + first;
    const int64_t length = last - first + 1;
    // Faults of this reply: cut the connection after `drop` body bytes; pause once for
    // `stall` milliseconds after `afterBytes` body bytes.
    struct Progress {
        int64_t sent = 0;
        int64_t dropAt = -1;
        int64_t stallAt = -1;
        int64_t stallMs = 0;
        int64_t corruptAt = -1;
        std::vector<char> buffer;
    };
    auto progress = std::make_shared<Progress>();
    progress->buffer.resize(kPieceSize);
    if (auto drop = m_context.faults.Take("download", FaultInjector::Kind::kDrop)) {
        progress->dropAt = drop->value;
    }
    if (stall) {
        progress->stallAt = stall->afterBytes;
        progress->stallMs = stall->value;
    }
    if (auto corrupt = m_context.faults.Take("download", FaultInjector::Kind::kCorrupt)) {
        progress->corruptAt = corrupt->value;
    }
    CloudContext* context = &m_context;
    response.set_content_provider(
        static_cast<size_t>(length), "application/octet-stream",
        [file, start, length, progress, context](size_t offset, size_t, httplib::DataSink& sink) {
            Progress& p = *progress;
            if (p.stallAt >= 0 && p.sent >= p.stallAt) {
                p.stallAt = -1;
                // What was sent before the stall must reach the client before it.
                if (auto* connection = ConnectionStream::Current(); connection && !connection->Flush()) {
                    return false;
                }
                if (!context->faults.Sleep(p.stallMs)) {
                    return false;
                }
            }
            int64_t want = std::min<int64_t>(static_cast<int64_t>(p.buffer.size()),
                                             length - static_cast<int64_t>(offset));
            if (p.stallAt >= 0) {
                want = std::min(want, p.stallAt - p.sent);
            }
            if (p.dropAt >= 0) {
                if (p.sent >= p.dropAt) {
                    return false;  // the library closes the connection mid-body
                }
                want = std::min(want, p.dropAt - p.sent);
            }
            if (fseeko(file.get(), start + static_cast<int64_t>(offset), SEEK_SET) != 0) {
                return false;
            }
            size_t got = std::fread(p.buffer.data(), 1, static_cast<size_t>(want), file.get());
            if (got == 0) {
                return false;
            }
            if (p.corruptAt >= p.sent && p.corruptAt < p.sent + static_cast<int64_t>(got)) {
                p.buffer[static_cast<size_t>(p.corruptAt - p.sent)] ^= static_cast<char>(0xFF);
            }
            p.sent += static_cast<int64_t>(got);
            return sink.write(p.buffer.data(), got);
        });
}
