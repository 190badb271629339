#pragma once

#include <cstdint>
#include <string>

#include "core/BatchTimeEstimator.h"

class DownloadQueue;
class UploadQueue;

// What the drop window tells about the transfers of each direction: how many run and how many
// are left, the current speed, the bytes done of the running ones, and the time the batch
// still needs (BatchTimeEstimator, fed at every look). Read from the transfer manager's queues
// on the window thread; no Qt.
class TransferFigures {
public:
    struct Direction {
        int running = 0;
        int left = 0;               // listed and waiting, the running ones included
        uint64_t bytesPerSecond = 0;
        int64_t done = 0;           // of the running transfers
        int64_t total = 0;          // of the running transfers
        uint64_t bytesLeft = 0;     // of everything left
        BatchTimeEstimator::Estimate timeLeft;
    };

    // Looks at the queues (either may be null) at `nowMs` of a steady clock.
    void Observe(const UploadQueue* uploads, const DownloadQueue* downloads, uint64_t nowMs);
    // What was measured on a connection that is gone (offline) says nothing of the next one.
    void ResetMeasurements();
    const Direction& Uploads() const { return m_up; }
    const Direction& Downloads() const { return m_down; }

    // The speed as the transfer rows write it, without the row's closing bracket: "1.2MB/S".
    static std::string SpeedText(uint64_t bytesPerSecond);
    // The tooltip's lines of one direction in the UI language:
    //   "Transferring 2  File Left:7"
    //   "1.2MB/S   12.76MB/100.40MB"
    //   "Time Left:17M3S"
    static std::string Text(const Direction& direction);

private:
    BatchTimeEstimator m_upEstimator;
    BatchTimeEstimator m_downEstimator;
    Direction m_up;
    Direction m_down;
};
