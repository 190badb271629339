#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Finds one named part in a whole multipart/form-data body. The body of a chunk upload is
// small (one chunk), so it is read whole and searched once for the boundary instead of being
// fed byte by byte through a general parser; the part's bytes are not copied. Where the file
// part begins can be told from the first bytes (FirstPart), so that its content can be stored
// while the rest arrives.
class MultipartBody {
public:
    struct Part {
        std::string name;
        std::string fileName;
        size_t offset = 0;  // of the part's content within the body
        size_t size = 0;
    };

    // The boundary of a "multipart/form-data; boundary=..." content type; empty when absent.
    static std::string Boundary(const std::string& contentType);

    // The first part called `name`, provided the body is well formed up to its closing
    // boundary; nullopt otherwise.
    static std::optional<Part> Find(std::string_view body, const std::string& boundary,
                                    const std::string& name);

    // The first part of a body of which only `prefix` has come so far, once its headers are
    // complete (its size is left 0: the end is not known yet); nullopt before, or when the
    // body does not start with the boundary's delimiter line.
    static std::optional<Part> FirstPart(std::string_view prefix, const std::string& boundary);

private:
    static std::optional<Part> PartAt(std::string_view body, size_t at);
};
