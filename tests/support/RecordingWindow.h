#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/MessageTarget.h"

namespace zorp::test {

// A window on the test's thread that keeps the ids of the messages it receives, in order.
class RecordingWindow : public platform::MessageTarget {
public:
    int64_t HandleMessage(platform::Message& message) override {
        ids.push_back(message.id);
        return 0;
    }
    size_t Count(uint32_t id) const {
        return static_cast<size_t>(std::count(ids.begin(), ids.end(), id));
    }
    std::vector<uint32_t> ids;
};

}  // namespace zorp::test
