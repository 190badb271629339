#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "MultipartBody.h"
#include "platform/WriteBehindFile.h"

// Stores the content of a chunk's file part in the partial file while the body is still
// arriving, so that the write runs beside the client's sending instead of after it.
//
// Only bytes that are content for certain go out early: those after the first part's
// headers (when that part is the file part) and before where the closing delimiter must
// start, given the body's length, and never past the end of the file. Once the whole body is
// in and found well formed, Complete writes what is still missing. Bytes stored for a chunk
// that is then refused lie past the break point, which has not moved: the next attempt writes
// over them, and reopening the partial file cuts them off.
class ChunkStreamWriter {
public:
    // `file` is the partial file, `breakPoint` where this chunk's content goes, `fileSize` the
    // file's whole size, `bodyLength` the request's Content-Length.
    ChunkStreamWriter(platform::WriteBehindFile* file, int64_t breakPoint, int64_t fileSize,
                      size_t bodyLength, std::string boundary);

    // The first `have` bytes of the body are in `body`.
    void Arrived(const char* body, size_t have);

    // The whole body is in and `part` is its file part: writes what Arrived did not; false
    // when a write failed.
    bool Complete(const char* body, const MultipartBody::Part& part);

private:
    platform::WriteBehindFile* m_file;
    int64_t m_breakPoint;
    size_t m_room;        // content bytes the file can still take at the break point
    size_t m_contentEnd;  // no content at or past this body offset (the closing delimiter)
    std::string m_boundary;
    size_t m_start = 0;    // body offset of the content, once known
    size_t m_written = 0;  // content bytes stored from m_start on
    bool m_streaming = true;
    bool m_failed = false;
};
