#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

// Chunk bodies are received into buffers taken from here and given back when the last holder
// (the request, then the hashing worker) lets go. Allocating and freeing 128 KiB per request
// makes the heap grow and shrink each time, and each shrink flushes the TLB of every core.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
public:
    struct Buffer {
        std::vector<char> bytes;
        size_t length = 0;  // bytes in use
        const char* data() const { return bytes.data(); }
    };

    static std::shared_ptr<BufferPool> Create() { return std::shared_ptr<BufferPool>(new BufferPool); }

    // A buffer with room for `size` bytes (length 0).
    std::shared_ptr<Buffer> Acquire(size_t size);

private:
    BufferPool() = default;
    static constexpr size_t kKeep = 64;

    std::mutex m_mutex;
    std::vector<std::unique_ptr<Buffer>> m_free;
};
