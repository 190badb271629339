#pragma once

#include <cstdint>

// What a transfer's speed meter answers.
class CProgressMetric {
public:
    virtual ~CProgressMetric() = default;
    virtual uint32_t GetCurrentSpeed() const = 0;  // bytes per second
    virtual int64_t GetAverageSpeed() const = 0;   // bytes per second
    virtual int64_t GetTimeLeft() const = 0;       // milliseconds
    virtual uint32_t GetTimeElapsed() const = 0;   // milliseconds
};
