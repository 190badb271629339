#include "core/BatchTimeEstimator.h"

#include <algorithm>
#include <set>

void BatchTimeEstimator::Observe(uint64_t nowMs, const std::vector<Running>& running,
                                 uint64_t bytesPerSecond) {
    if (bytesPerSecond > 0) {
        m_speed = bytesPerSecond;
    }
    std::set<int64_t> seen;
    for (const Running& transfer : running) {
        seen.insert(transfer.id);
        if (m_measured.count(transfer.id)) {
            continue;
        }
        auto it = m_started.find(transfer.id);
        if (it == m_started.end()) {
            m_started[transfer.id] = {nowMs, transfer.position, transfer.size};
            continue;
        }
        if (transfer.position != it->second.startPosition) {
            // Its first progress: the bytes of that moment took their time at its own speed,
            // the rest of the wait was the per-file cost.
            const uint64_t speed = transfer.bytesPerSecond ? transfer.bytesPerSecond : m_speed;
            AddSample(nowMs - std::min(nowMs, it->second.startMs),
                      transfer.position - it->second.startPosition, speed);
            m_started.erase(it);
            m_measured.insert(transfer.id);
        }
    }
    for (auto it = m_started.begin(); it != m_started.end();) {
        if (seen.count(it->first)) {
            ++it;
            continue;
        }
        // Ended before any progress was seen: the whole rest of the file moved meanwhile.
        AddSample(nowMs - std::min(nowMs, it->second.startMs),
                  it->second.size - it->second.startPosition, m_speed);
        it = m_started.erase(it);
    }
    for (auto it = m_measured.begin(); it != m_measured.end();) {
        it = seen.count(*it) ? std::next(it) : m_measured.erase(it);
    }
}

void BatchTimeEstimator::AddSample(uint64_t elapsedMs, int64_t bytes, uint64_t bytesPerSecond) {
    const uint64_t moved = bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
    const uint64_t transferMs = bytesPerSecond ? moved * 1000 / bytesPerSecond : 0;
    m_samples[m_sampleCount % kWindow] = elapsedMs > transferMs ? elapsedMs - transferMs : 0;
    ++m_sampleCount;
}

uint64_t BatchTimeEstimator::OverheadMs() const {
    const size_t count = std::min(m_sampleCount, kWindow);
    if (count == 0) {
        return 0;
    }
    uint64_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum += m_samples[i];
    }
    return sum / count;
}

BatchTimeEstimator::Estimate BatchTimeEstimator::EstimateLeft(uint64_t filesLeft,
                                                              uint64_t bytesLeft,
                                                              uint32_t parallel) const {
    Estimate estimate;
    estimate.overheadMs = OverheadMs() * filesLeft / std::max<uint32_t>(parallel, 1);
    if (m_speed > 0) {
        estimate.bytesMs = bytesLeft * 1000 / m_speed;
    }
    estimate.known = m_speed > 0 || bytesLeft == 0;
    return estimate;
}

void BatchTimeEstimator::Reset() {
    m_started.clear();
    m_measured.clear();
    m_samples.fill(0);
    m_sampleCount = 0;
    m_speed = 0;
}
