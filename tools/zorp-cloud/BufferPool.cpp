#include "BufferPool.h"

std::shared_ptr<BufferPool::Buffer> BufferPool::Acquire(size_t size) {
    std::unique_ptr<Buffer> buffer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_free.empty()) {
            buffer = std::move(m_free.back());
            m_free.pop_back();
        }
    }
    if (!buffer) {
        buffer = std::make_unique<Buffer>();
    }
    if (buffer->bytes.size() < size) {
        buffer->bytes.resize(size);
    }
    buffer->length = 0;
    // The pool outlives every buffer it handed out: the deleter holds it.
    std::shared_ptr<BufferPool> pool = shared_from_this();
    return std::shared_ptr<Buffer>(buffer.release(), [pool](Buffer* returned) {
        std::unique_ptr<Buffer> owned(returned);
        std::lock_guard<std::mutex> lock(pool->m_mutex);
        if (pool->m_free.size() < kKeep) {
            pool->m_free.push_back(std::move(owned));
        }
    });
}
