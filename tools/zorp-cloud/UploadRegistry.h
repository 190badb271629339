#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UploadState.h"

// The uploads under way, by file id and attempt, and the threads that hash their accepted
// chunks.
class UploadRegistry {
public:
    explicit UploadRegistry(unsigned hashThreads);
    ~UploadRegistry();
    UploadRegistry(const UploadRegistry&) = delete;
    UploadRegistry& operator=(const UploadRegistry&) = delete;

    std::shared_ptr<UploadState> Get(int64_t fid, int64_t gen);
    void Forget(int64_t fid, int64_t gen);
    // Forgets every attempt of the file.
    void ForgetFile(int64_t fid);

    // Queues accepted bytes (a range of `buffer`) for the file's hash. Waits while too much
    // is queued, so a fast client cannot make the server hold unbounded memory.
    void QueueHash(const std::shared_ptr<UploadState>& state,
                   std::shared_ptr<const BufferPool::Buffer> buffer, size_t offset, size_t size);

    // A buffer for a chunk body (see BufferPool).
    std::shared_ptr<BufferPool::Buffer> AcquireBuffer(size_t size) { return m_buffers->Acquire(size); }
    // Waits until every queued byte of the file is hashed.
    void WaitHashed(UploadState& state);

private:
    void Drain(const std::shared_ptr<UploadState>& state);
    void WorkerMain();

    static constexpr size_t kMaxPendingBytes = 32u << 20;

    std::shared_ptr<BufferPool> m_buffers = BufferPool::Create();
    std::mutex m_mutex;
    std::map<std::pair<int64_t, int64_t>, std::shared_ptr<UploadState>> m_states;

    std::mutex m_queueMutex;
    std::condition_variable m_queueChanged;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};
