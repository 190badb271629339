#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

// The time a batch of transfers still needs, in two parts: what every file costs before its
// bytes move (opening, hashing on the server, the request round trips), measured on this
// connection, times the files left; plus the bytes left at the measured speed. The bytes alone
// would promise "1S" for minutes to a batch of ten thousand small files.
//
// The per-file cost of one file is the time from its start to its first progress (or its end,
// when it ended before any progress was reported) minus the time its bytes of that moment take
// at the measured speed; the last kWindow of them are averaged.
//
// The owner feeds it what it sees of the running transfers at each look (Observe); times are
// milliseconds of any steady clock. One owner thread, no lock.
class BatchTimeEstimator {
public:
    static constexpr size_t kWindow = 16;

    // One running transfer as the owner sees it.
    struct Running {
        int64_t id = 0;
        int64_t position = 0;         // bytes done of the file
        int64_t size = 0;             // bytes of the whole file
        uint32_t bytesPerSecond = 0;  // its own speed, 0 while unknown
    };

    struct Estimate {
        uint64_t overheadMs = 0;  // per-file cost times the files left
        uint64_t bytesMs = 0;     // bytes left at the measured speed
        bool known = false;       // false: no speed measured yet and bytes are left
        uint64_t TotalMs() const { return overheadMs + bytesMs; }
    };

    // The transfers running at `nowMs`, and the speed of them all together. A transfer seen
    // for the first time has started; one that moved, or that is gone, gives its sample.
    void Observe(uint64_t nowMs, const std::vector<Running>& running, uint64_t bytesPerSecond);

    // Files left counts the running ones and the ones waiting; bytes left is what they still
    // have to move; `parallel` transfers run side by side, so their per-file costs overlap.
    Estimate EstimateLeft(uint64_t filesLeft, uint64_t bytesLeft, uint32_t parallel = 1) const;

    // The averaged per-file cost; 0 until a sample was taken.
    uint64_t OverheadMs() const;
    size_t SampleCount() const { return m_sampleCount; }
    uint64_t MeasuredSpeed() const { return m_speed; }

    // A new batch on a new connection: everything measured is forgotten.
    void Reset();

private:
    struct Started {
        uint64_t startMs = 0;
        int64_t startPosition = 0;
        int64_t size = 0;
    };
    void AddSample(uint64_t elapsedMs, int64_t bytes, uint64_t bytesPerSecond);

    std::map<int64_t, Started> m_started;  // running, first progress not seen yet
    std::set<int64_t> m_measured;          // running, sample taken
    std::array<uint64_t, kWindow> m_samples{};
    size_t m_sampleCount = 0;  // samples taken (the ring holds the last kWindow)
    uint64_t m_speed = 0;      // last non-zero speed of all transfers together
};
