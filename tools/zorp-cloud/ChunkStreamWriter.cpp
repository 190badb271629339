#include "ChunkStreamWriter.h"

#include <algorithm>
#include <string_view>
#include <utility>

ChunkStreamWriter::ChunkStreamWriter(platform::WriteBehindFile* file, int64_t breakPoint,
                                     int64_t fileSize, size_t bodyLength, std::string boundary)
    : m_file(file),
      m_breakPoint(breakPoint),
      m_room(fileSize > breakPoint ? static_cast<size_t>(fileSize - breakPoint) : 0),
      m_boundary(std::move(boundary)) {
    // "\r\n--" boundary "--" at the least closes the body.
    const size_t closing = m_boundary.size() + 6;
    m_contentEnd = bodyLength > closing ? bodyLength - closing : 0;
    m_streaming = m_file != nullptr && !m_boundary.empty() && m_room > 0;
}

void ChunkStreamWriter::Arrived(const char* body, size_t have) {
    if (!m_streaming) {
        return;
    }
    if (m_start == 0) {
        auto part = MultipartBody::FirstPart(std::string_view(body, have), m_boundary);
        if (!part) {
            // Headers longer than any client sends: keep it all for Complete.
            m_streaming = have < 4096;
            return;
        }
        if (part->name != "file") {
            m_streaming = false;
            return;
        }
        m_start = part->offset;
    }
    const size_t end = std::min({have, m_contentEnd, m_start + m_room});
    if (end <= m_start + m_written) {
        return;
    }
    const size_t take = end - m_start - m_written;
    if (!m_file->Write(m_breakPoint + static_cast<int64_t>(m_written), body + m_start + m_written,
                       take)) {
        m_failed = true;
        m_streaming = false;
        return;
    }
    m_written += take;
}

bool ChunkStreamWriter::Complete(const char* body, const MultipartBody::Part& part) {
    if (m_failed || !m_file) {
        return false;
    }
    // What was stored early is kept when it is the start of this part's content; otherwise
    // (another layout than the first bytes showed) the content is written whole.
    size_t from = m_start == part.offset ? std::min(m_written, part.size) : 0;
    if (from == part.size) {
        return true;
    }
    return m_file->Write(m_breakPoint + static_cast<int64_t>(from), body + part.offset + from,
                         part.size - from);
}
