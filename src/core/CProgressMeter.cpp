#include "core/CProgressMeter.h"

void CProgressMeter::Reset(uint64_t nowMs, int64_t total, int64_t current) {
    m_startTime = static_cast<uint32_t>(nowMs);
    m_lastTickTime = m_startTime;
    m_totalBytes = total;
    m_currentBytes = current;
    m_attemptBytes = 0;
    m_history.fill(Sample{});
    m_sampleCount = 0;
}

int CProgressMeter::Update(uint64_t nowMs, int64_t current, int64_t attemptBytes) {
    // 32-bit millisecond clock values; differences stay right across a wrap.
    const uint32_t now = static_cast<uint32_t>(nowMs);
    m_attemptBytes = attemptBytes;
    m_currentBytes = current;
    m_elapsed = now - m_startTime;

    if (now - m_lastTickTime > m_tickPeriod) {
        m_tick = 1;
        m_lastTickTime = now;
    } else {
        m_tick = 0;
    }

    if (m_sampleCount > kSamples) {
        const Sample& previous = m_history[(m_sampleCount - 1) % kSamples];
        if (now - previous.clock < m_sampleSpacing) {
            return 0;
        }
    }
    m_history[m_sampleCount % kSamples] = Sample{current, now};
    ++m_sampleCount;
    if (m_sampleCount == 1) {
        return 1;
    }
    const Sample& newest = m_history[(m_sampleCount - 1) % kSamples];
    const Sample& reference = m_sampleCount < kSamples ? m_history[0]
                                                       : m_history[m_sampleCount % kSamples];
    int64_t span = static_cast<int64_t>(static_cast<uint32_t>(newest.clock - reference.clock));
    if (span == 0) {
        span = 1;
    }
    m_currentSpeed = static_cast<uint32_t>((newest.bytes - reference.bytes) * 1000 / span);
    return 1;
}

int64_t CProgressMeter::GetAverageSpeed() const {
    int64_t elapsed = m_elapsed == 0 ? 1 : m_elapsed;
    return m_attemptBytes * 1000 / elapsed;
}

int64_t CProgressMeter::GetTimeLeft() const {
    int64_t elapsed = m_elapsed == 0 ? 1 : m_elapsed;
    int64_t rate = m_currentBytes / elapsed;  // bytes per millisecond
    if (rate == 0) {
        rate = 1;
    }
    return (m_totalBytes - m_currentBytes) / rate;
}
