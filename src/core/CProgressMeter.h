#pragma once

#include <array>
#include <cstdint>

#include "core/CProgressMetric.h"

// The speed meter of one running transfer. It keeps the last 25 samples of the position, works
// out the current speed over that window, and raises a tick at most every 1.2 s so that the
// transfer posts progress only when a fresh figure is worth showing. Owned by one worker
// thread: no lock, no allocation, no system call in Update (the caller passes the time).
class CProgressMeter : public CProgressMetric {
public:
    static constexpr int kSamples = 25;
    static constexpr uint32_t kTickPeriodMs = 1200;
    static constexpr uint32_t kSampleSpacingMs = 2000;

    // Start of a transfer attempt: `current` is the position before this attempt.
    void Reset(uint64_t nowMs, int64_t total, int64_t current);

    // Returns 1 when the sample was kept, 0 when it was dropped (too close to the previous one
    // once the history is full). Positions and elapsed time are stored either way.
    int Update(uint64_t nowMs, int64_t current, int64_t attemptBytes);

    bool IsTick() const { return m_tick != 0; }
    int64_t GetCurrentBytes() const { return m_currentBytes; }
    int64_t GetTotalBytes() const { return m_totalBytes; }

    uint32_t GetCurrentSpeed() const override { return m_currentSpeed; }
    int64_t GetAverageSpeed() const override;
    int64_t GetTimeLeft() const override;
    uint32_t GetTimeElapsed() const override { return m_elapsed; }

private:
    struct Sample {
        int64_t bytes = 0;
        uint32_t clock = 0;
    };

    uint32_t m_tickPeriod = kTickPeriodMs;
    uint32_t m_sampleSpacing = kSampleSpacingMs;
    uint32_t m_startTime = 0;
    uint32_t m_lastTickTime = 0;
    int64_t m_totalBytes = 0;
    int64_t m_currentBytes = 0;
    int64_t m_attemptBytes = 0;
    std::array<Sample, kSamples> m_history{};
    int32_t m_sampleCount = 0;
    uint32_t m_currentSpeed = 0;
    uint32_t m_elapsed = 0;
    uint32_t m_tick = 0;
};
