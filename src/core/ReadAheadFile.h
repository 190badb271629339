#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/SequentialFile.h"

// Reads a file front to back in fixed blocks on a thread of its own, a few blocks ahead of the
// consumer, so that copying the next block out of the page cache overlaps with the work done
// on the current one (hashing a block costs about six times what copying it does).
class ReadAheadFile {
public:
    ReadAheadFile(size_t blockSize, size_t blocksAhead);
    ~ReadAheadFile();
    ReadAheadFile(const ReadAheadFile&) = delete;
    ReadAheadFile& operator=(const ReadAheadFile&) = delete;

    // Starts reading `length` bytes from the start of an opened file.
    bool Start(platform::SequentialFile& file, int64_t length);

    // The next block (the last one may be shorter): valid until the next call. Null at the end
    // or after a read error (see Failed).
    const std::vector<unsigned char>* Next(size_t* size);
    bool Failed() const;
    void Stop();

private:
    struct Block {
        std::vector<unsigned char> data;
        size_t size = 0;
    };
    void ReaderMain(platform::SequentialFile* file, int64_t length);

    const size_t m_blockSize;
    const size_t m_blocksAhead;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Block> m_full;    // read, waiting for the consumer
    std::vector<Block> m_free;   // for the reader to fill
    Block m_current;             // held by the consumer
    bool m_done = false;         // the reader has read everything it will read
    bool m_failed = false;
    bool m_stop = false;
    std::thread m_reader;
};
