#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Cuts the byte stream of the link into complete JSON objects. Messages carry no length and
// no separator, and a receive may end anywhere: in the middle of a message, inside a string
// that holds a "}", or after two messages at once. The splitter follows the JSON grammar byte
// by byte (strings and their escapes, literals, numbers, nesting), hands out each object when
// its closing brace arrives, and keeps the unfinished tail for the next receive.
//
// It resynchronises on anything that is not JSON: bytes between objects that are not a "{" are
// skipped, and a byte that cannot continue the object being read ends it there (the object is
// rejected) and scanning resumes at the next "{", that byte included. So after any amount of
// garbage the next well-formed object is found. An object that grows past the cap is dropped:
// its bytes are still followed, so that its own nested objects are never taken for messages,
// but they are no longer stored; one that has not ended after kGiveUpFactor times the cap (a
// string that never closes) is given up and scanning resumes at the next "{". Nesting deeper than
// kMaxDepth is rejected as well.
class LinkMessageSplitter {
public:
    static constexpr size_t kDefaultMaxMessageBytes = 4 * 1024 * 1024;
    static constexpr size_t kMaxDepth = 64;
    static constexpr size_t kGiveUpFactor = 8;

    explicit LinkMessageSplitter(size_t maxMessageBytes = kDefaultMaxMessageBytes);

    struct Result {
        std::vector<std::string> messages;  // complete objects, in arrival order
        size_t skippedBytes = 0;             // non-space bytes found between objects
        size_t droppedMessages = 0;          // objects that passed the cap and ended here
        size_t rejectedObjects = 0;          // objects cut short by a byte that is not JSON
        bool overflowed = false;             // an unfinished object passed the cap in this feed
    };

    // Scans the new bytes. Each byte is looked at once, however the stream is cut.
    Result Feed(std::string_view bytes);

    // Bytes of the unfinished object held for the next feed.
    size_t PendingBytes() const { return m_pending.size(); }
    // True while an over-long object is being skipped.
    bool IsDropping() const { return m_dropping; }
    void Reset();

private:
    // What the grammar allows next.
    enum class Expect { kValue, kValueOrEnd, kKeyOrEnd, kKey, kColon, kCommaOrEnd };
    enum class Step { kGoesOn, kEnded, kInvalid };

    Step Advance(char c);
    Step Open(char container);
    Step Close(char container);
    void Begin();

    const size_t m_maxMessageBytes;
    std::string m_pending;
    std::string m_stack;  // '{' and '[' of the open containers, innermost last
    Expect m_expect = Expect::kKeyOrEnd;
    bool m_inString = false;
    bool m_stringIsKey = false;
    bool m_escape = false;
    bool m_inToken = false;  // a number or a literal (true, false, null)
    bool m_dropping = false;
    size_t m_droppedBytes = 0;  // of the object being dropped
};
