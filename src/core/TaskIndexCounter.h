#pragma once

#include <cstdint>

// The numbers of transfer tasks. Upload rows, download rows and the local edit manager draw
// from one process-wide counter, so that "Task[%02d]" in a log line names one task only.
class TaskIndexCounter {
public:
    // The next number (1, 2, ...); any thread.
    static int32_t Next();
};
