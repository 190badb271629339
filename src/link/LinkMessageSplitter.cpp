#include "link/LinkMessageSplitter.h"

LinkMessageSplitter::LinkMessageSplitter(size_t maxMessageBytes)
    : m_maxMessageBytes(maxMessageBytes) {}

void LinkMessageSplitter::Reset() {
    m_pending.clear();
    m_depth = 0;
    m_inString = false;
    m_escape = false;
    m_dropping = false;
}

LinkMessageSplitter::Result LinkMessageSplitter::Feed(std::string_view bytes) {
    Result result;
    size_t start = 0;  // first byte of the current object within `bytes`, when it began here
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (m_depth == 0) {
            if (c == '{') {
                m_depth = 1;
                start = i;
            } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
                ++result.skippedBytes;
            }
            continue;
        }
        if (m_inString) {
            if (m_escape) {
                m_escape = false;
            } else if (c == '\\') {
                m_escape = true;
            } else if (c == '"') {
                m_inString = false;
            }
            continue;
        }
        if (c == '"') {
            m_inString = true;
        } else if (c == '{') {
            ++m_depth;
        } else if (c == '}' && --m_depth == 0) {
            if (m_dropping || m_pending.size() + (i + 1 - start) > m_maxMessageBytes) {
                m_dropping = false;
                ++result.droppedMessages;
            } else {
                m_pending.append(bytes.substr(start, i + 1 - start));
                result.messages.push_back(std::move(m_pending));
            }
            m_pending.clear();
            start = i + 1;
        }
    }

    // Keep the unfinished tail, unless the object has grown past the cap.
    if (m_depth > 0 && !m_dropping) {
        m_pending.append(bytes.substr(start));
        if (m_pending.size() > m_maxMessageBytes) {
            m_dropping = true;
            result.overflowed = true;
            std::string().swap(m_pending);  // give the memory back
        }
    }
    return result;
}
