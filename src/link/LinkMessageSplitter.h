#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Cuts the byte stream of the link into complete JSON objects. Messages carry no length and
// no separator, and a receive may end anywhere: in the middle of a message, inside a string
// that holds a "}", or after two messages at once. The splitter counts brace depth outside
// strings (honouring backslash escapes), hands out each object when its closing brace
// arrives, and keeps the unfinished tail for the next receive.
//
// Bytes between objects (white space, anything that is not a "{") are skipped. An object that
// grows past the cap is dropped: its bytes are still scanned, so the stream stays in step and
// the next object after it is found, but they are no longer stored.
class LinkMessageSplitter {
public:
    static constexpr size_t kDefaultMaxMessageBytes = 4 * 1024 * 1024;

    explicit LinkMessageSplitter(size_t maxMessageBytes = kDefaultMaxMessageBytes);

    struct Result {
        std::vector<std::string> messages;  // complete objects, in arrival order
        size_t skippedBytes = 0;             // non-space bytes found between objects
        size_t droppedMessages = 0;          // objects that passed the cap and ended here
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
    const size_t m_maxMessageBytes;
    std::string m_pending;
    uint64_t m_depth = 0;
    bool m_inString = false;
    bool m_escape = false;
    bool m_dropping = false;
};
