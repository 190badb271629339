#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>

namespace platform {

// What each read of the clipboard placeholder answers. The first read through which a paste
// target is found is the paste: that open file is served the whole text, and every read of any
// other open file answers end of file until a new copy arms the placeholder again. A read for
// which no target is found (a `cat` into a pipe, a preview, a mime sniff) is served the text
// but is not a paste, so the real paste that may follow still counts. Safe from any thread.
class PlaceholderReadRule {
public:
    struct Answer {
        size_t offset = 0;  // where in the text the answered bytes begin
        size_t length = 0;  // 0: end of file
        bool paste = false; // this read was the paste
    };

    explicit PlaceholderReadRule(std::string content) : m_content(std::move(content)) {}

    const std::string& Content() const { return m_content; }

    // A new copy: the next read with a target is a paste.
    void Arm();
    // The copy was let go: reads answer end of file.
    void Disarm();
    bool IsArmed() const;

    // One read of `size` bytes at `offset` through the open file `handle`. `findTarget` is
    // asked, under the rule's lock, only while the read could be the paste.
    Answer Read(uint64_t handle, uint64_t offset, size_t size, const std::function<bool()>& findTarget);
    // The open file was closed.
    void Release(uint64_t handle);

private:
    Answer Slice(uint64_t offset, size_t size, bool paste) const;

    const std::string m_content;
    mutable std::mutex m_mutex;
    bool m_armed = false;
    std::set<uint64_t> m_serving;  // open files of pastes, still being read
};

}  // namespace platform
