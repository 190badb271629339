#include "link/LinkMessageSplitter.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The characters of numbers and of the literals true, false and null; the parser checks
// their spelling, the splitter only where they end.
bool IsTokenChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '.' || c == '+' || c == '-' ||
           c == 'E';
}

}  // namespace

LinkMessageSplitter::LinkMessageSplitter(size_t maxMessageBytes)
    : m_maxMessageBytes(maxMessageBytes) {}

void LinkMessageSplitter::Reset() {
    m_pending.clear();
    m_stack.clear();
    m_expect = Expect::kKeyOrEnd;
    m_inString = false;
    m_stringIsKey = false;
    m_escape = false;
    m_inToken = false;
    m_dropping = false;
    m_droppedBytes = 0;
}

void LinkMessageSplitter::Begin() {
    m_stack.assign(1, '{');
    m_expect = Expect::kKeyOrEnd;
    m_inString = m_stringIsKey = m_escape = m_inToken = false;
}

LinkMessageSplitter::Step LinkMessageSplitter::Open(char container) {
    if (m_stack.size() >= kMaxDepth) {
        return Step::kInvalid;
    }
    m_stack.push_back(container);
    m_expect = container == '{' ? Expect::kKeyOrEnd : Expect::kValueOrEnd;
    return Step::kGoesOn;
}

LinkMessageSplitter::Step LinkMessageSplitter::Close(char container) {
    if (m_stack.empty() || m_stack.back() != container) {
        return Step::kInvalid;
    }
    m_stack.pop_back();
    m_expect = Expect::kCommaOrEnd;
    return m_stack.empty() ? Step::kEnded : Step::kGoesOn;
}

LinkMessageSplitter::Step LinkMessageSplitter::Advance(char c) {
    if (m_inString) {
        if (m_escape) {
            m_escape = false;
        } else if (c == '\\') {
            m_escape = true;
        } else if (c == '"') {
            m_inString = false;
            m_expect = m_stringIsKey ? Expect::kColon : Expect::kCommaOrEnd;
        } else if (static_cast<unsigned char>(c) < 0x20 && c != '\0') {
            // Raw control characters never stand in a JSON string (NUL is kept: the parser
            // reads it as part of the text).
            return Step::kInvalid;
        }
        return Step::kGoesOn;
    }
    if (m_inToken) {
        if (IsTokenChar(c)) {
            return Step::kGoesOn;
        }
        m_inToken = false;
        m_expect = Expect::kCommaOrEnd;
    }
    if (IsSpace(c)) {
        return Step::kGoesOn;
    }
    switch (m_expect) {
        case Expect::kValueOrEnd:
            if (c == ']') {
                return Close('[');
            }
            [[fallthrough]];
        case Expect::kValue:
            if (c == '{' || c == '[') {
                return Open(c);
            }
            if (c == '"') {
                m_inString = true;
                m_stringIsKey = false;
                return Step::kGoesOn;
            }
            if (c == '-' || (c >= '0' && c <= '9') || c == 't' || c == 'f' || c == 'n') {
                m_inToken = true;
                return Step::kGoesOn;
            }
            return Step::kInvalid;
        case Expect::kKeyOrEnd:
            if (c == '}') {
                return Close('{');
            }
            [[fallthrough]];
        case Expect::kKey:
            if (c == '"') {
                m_inString = true;
                m_stringIsKey = true;
                return Step::kGoesOn;
            }
            return Step::kInvalid;
        case Expect::kColon:
            if (c == ':') {
                m_expect = Expect::kValue;
                return Step::kGoesOn;
            }
            return Step::kInvalid;
        case Expect::kCommaOrEnd:
            if (c == ',') {
                m_expect = m_stack.back() == '{' ? Expect::kKey : Expect::kValue;
                return Step::kGoesOn;
            }
            if (c == '}' || c == ']') {
                return Close(c == '}' ? '{' : '[');
            }
            return Step::kInvalid;
    }
    return Step::kInvalid;
}

LinkMessageSplitter::Result LinkMessageSplitter::Feed(std::string_view bytes) {
    Result result;
    size_t start = 0;  // first byte of the current object within `bytes`, when it began here
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (m_stack.empty()) {
            if (c == '{') {
                Begin();
                start = i;
            } else if (!IsSpace(c)) {
                ++result.skippedBytes;
            }
            continue;
        }
        Step step = Advance(c);
        if (step == Step::kGoesOn) {
            if (!m_dropping && m_pending.size() + (i + 1 - start) > m_maxMessageBytes) {
                // Past the cap: followed to its end, no longer stored.
                m_dropping = true;
                m_droppedBytes = 0;
                result.overflowed = true;
                std::string().swap(m_pending);  // give the memory back
            } else if (m_dropping && ++m_droppedBytes > (kGiveUpFactor - 1) * m_maxMessageBytes) {
                step = Step::kInvalid;  // no end in sight: given up
            } else {
                continue;
            }
            if (step == Step::kGoesOn) {
                continue;
            }
        }
        if (step == Step::kEnded) {
            if (m_dropping) {
                ++result.droppedMessages;
            } else {
                m_pending.append(bytes.substr(start, i + 1 - start));
                result.messages.push_back(std::move(m_pending));
            }
        } else {
            ++result.rejectedObjects;
        }
        m_pending.clear();
        m_stack.clear();
        m_dropping = false;
        if (step == Step::kInvalid) {
            // Scanning resumes here: this byte may begin the next object.
            if (c == '{') {
                Begin();
                start = i;
            } else {
                ++result.skippedBytes;
            }
        }
    }

    // Keep the unfinished tail.
    if (!m_stack.empty() && !m_dropping) {
        m_pending.append(bytes.substr(start));
    }
    return result;
}
