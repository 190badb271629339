#include "MultipartBody.h"

#include <cctype>
#include <cstring>

namespace {

// The value of `key` ("name", "filename") in a Content-Disposition line, unquoted.
std::string DispositionValue(std::string_view line, std::string_view key) {
    size_t at = 0;
    while ((at = line.find(key, at)) != std::string_view::npos) {
        bool startsWord = at == 0 || line[at - 1] == ' ' || line[at - 1] == ';';
        size_t after = at + key.size();
        if (startsWord && after < line.size() && line[after] == '=') {
            std::string_view value = line.substr(after + 1);
            if (!value.empty() && value.front() == '"') {
                value.remove_prefix(1);
                return std::string(value.substr(0, value.find('"')));
            }
            return std::string(value.substr(0, value.find(';')));
        }
        at = after;
    }
    return std::string();
}

size_t Search(std::string_view text, size_t from, std::string_view pattern) {
    return from > text.size() ? std::string_view::npos : text.find(pattern, from);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string MultipartBody::Boundary(const std::string& contentType) {
    if (!StartsWithNoCase(contentType, "multipart/form-data")) {
        return std::string();
    }
    return DispositionValue(contentType, "boundary");
}

// The part whose headers start at `at` (after a delimiter line): its name, file name and the
// offset of its content; nullopt while its headers are not complete in `body`.
std::optional<MultipartBody::Part> MultipartBody::PartAt(std::string_view body, size_t at) {
    size_t headersEnd = Search(body, at, "\r\n\r\n");
    if (headersEnd == std::string_view::npos) {
        return std::nullopt;
    }
    Part part;
    std::string_view headers = body.substr(at, headersEnd + 2 - at);
    while (!headers.empty()) {
        size_t lineEnd = headers.find("\r\n");
        std::string_view line = headers.substr(0, lineEnd);
        headers.remove_prefix(lineEnd == std::string_view::npos ? headers.size() : lineEnd + 2);
        if (StartsWithNoCase(line, "Content-Disposition:")) {
            part.name = DispositionValue(line, "name");
            part.fileName = DispositionValue(line, "filename");
        }
    }
    part.offset = headersEnd + 4;
    return part;
}

std::optional<MultipartBody::Part> MultipartBody::FirstPart(std::string_view prefix,
                                                            const std::string& boundary) {
    const std::string opening = "--" + boundary + "\r\n";
    if (boundary.empty() || prefix.substr(0, opening.size()) != opening) {
        return std::nullopt;
    }
    return PartAt(prefix, opening.size());
}

std::optional<MultipartBody::Part> MultipartBody::Find(std::string_view body,
                                                       const std::string& boundary,
                                                       const std::string& name) {
    if (boundary.empty()) {
        return std::nullopt;
    }
    const std::string delimiter = "--" + boundary;
    const std::string separator = "\r\n" + delimiter;
    size_t at = Search(body, 0, delimiter);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    at += delimiter.size();
    std::optional<Part> found;
    for (;;) {
        if (body.substr(at, 2) == "--") {
            return found;  // closing boundary: the body is complete
        }
        if (body.substr(at, 2) != "\r\n") {
            return std::nullopt;
        }
        std::optional<Part> part = PartAt(body, at + 2);
        if (!part) {
            return std::nullopt;
        }
        // The content is most of a chunk's body: memmem skips through it (a third of the time
        // of a Boyer-Moore-Horspool search here; find looks at every carriage return).
        const void* end = part->offset > body.size()
                              ? nullptr
                              : ::memmem(body.data() + part->offset, body.size() - part->offset,
                                         separator.data(), separator.size());
        if (!end) {
            return std::nullopt;
        }
        part->size =
            static_cast<size_t>(static_cast<const char*>(end) - body.data()) - part->offset;
        at = part->offset + part->size + separator.size();
        if (!found && part->name == name) {
            found = std::move(part);
        }
    }
}
