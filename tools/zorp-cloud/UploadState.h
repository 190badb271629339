#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "BlockHasher.h"
#include "BufferPool.h"
#include "platform/WriteBehindFile.h"

// What the server keeps in memory about one file's upload while its chunks arrive. The hash
// of the accepted bytes is built behind the replies (see UploadRegistry), so a chunk's reply
// does not wait for SHA-256; the last chunk waits for it before the content is verified.
struct UploadState {
    UploadState() = default;
    ~UploadState() = default;
    UploadState(const UploadState&) = delete;
    UploadState& operator=(const UploadState&) = delete;

    // One chunk of a file at a time: held while a chunk is received and committed.
    std::timed_mutex busy;

    // Used by the thread that holds `busy`.
    // The attempt's partial file, open while chunks arrive; shared with the disk work that
    // runs after a chunk's reply.
    std::shared_ptr<platform::WriteBehindFile> partial;
    int64_t queuedTo = -1;    // bytes [0, queuedTo) are hashed or queued; -1: to be rebuilt
    // When the attempt last accepted a chunk: content of another hash arriving soon after is
    // another client's upload of the same file, not a restart of this one.
    std::chrono::steady_clock::time_point lastAccepted{};
    BlockHasher hasher;  // fed by the draining thread only while `hashing` is set

    // Guarded by `lock`.
    std::mutex lock;
    std::condition_variable changed;
    struct Piece {
        std::shared_ptr<const BufferPool::Buffer> buffer;
        size_t offset;
        size_t size;
    };
    std::deque<Piece> pending;
    size_t pendingBytes = 0;
    bool hashing = false;  // a thread is draining `pending`
};
