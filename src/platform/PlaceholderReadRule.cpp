#include "platform/PlaceholderReadRule.h"

#include <algorithm>

namespace platform {

void PlaceholderReadRule::Arm() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_armed = true;
}

void PlaceholderReadRule::Disarm() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_armed = false;
}

bool PlaceholderReadRule::IsArmed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_armed;
}

PlaceholderReadRule::Answer PlaceholderReadRule::Slice(uint64_t offset, size_t size,
                                                       bool paste) const {
    Answer answer;
    if (offset >= m_content.size()) {
        return answer;
    }
    answer.offset = static_cast<size_t>(offset);
    answer.length = std::min(size, m_content.size() - answer.offset);
    answer.paste = paste;
    return answer;
}

PlaceholderReadRule::Answer PlaceholderReadRule::Read(uint64_t handle, uint64_t offset, size_t size,
                                                      const std::function<bool()>& findTarget) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (offset >= m_content.size() || size == 0) {
        return {};
    }
    if (m_serving.count(handle)) {
        // The rest of the text for a paste that asked for less than all of it at first.
        return Slice(offset, size, false);
    }
    if (!m_armed) {
        return {};
    }
    if (findTarget && findTarget()) {
        m_armed = false;
        m_serving.insert(handle);
        return Slice(offset, size, true);
    }
    return Slice(offset, size, false);
}

void PlaceholderReadRule::Release(uint64_t handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_serving.erase(handle);
}

}  // namespace platform
