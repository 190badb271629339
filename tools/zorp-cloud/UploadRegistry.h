#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "UploadState.h"

// The uploads under way, by file id and attempt, and the hashing of their accepted chunks.
//
// A chunk is hashed by the thread that accepted it, once its reply is out: the client is then
// busy with its next chunk, so the hash costs the upload no time while a core is free for it,
// and no other thread has to be woken for every chunk.
class UploadRegistry {
public:
    UploadRegistry() = default;
    UploadRegistry(const UploadRegistry&) = delete;
    UploadRegistry& operator=(const UploadRegistry&) = delete;

    std::shared_ptr<UploadState> Get(int64_t fid, int64_t gen);
    void Forget(int64_t fid, int64_t gen);
    // Forgets every attempt of the file.
    void ForgetFile(int64_t fid);

    // Queues accepted bytes (a range of `buffer`) for the file's hash. When no thread is
    // hashing the file, the caller becomes its hasher: it must run the returned job, which
    // hashes everything queued for the file until nothing is. Otherwise the job is empty and
    // the running hasher takes these bytes too. Waits while too much is queued, so a fast
    // client cannot make the server hold unbounded memory.
    [[nodiscard]] std::function<void()> QueueHash(const std::shared_ptr<UploadState>& state,
                                                  std::shared_ptr<const BufferPool::Buffer> buffer,
                                                  size_t offset, size_t size);

    // A buffer for a chunk body (see BufferPool).
    std::shared_ptr<BufferPool::Buffer> AcquireBuffer(size_t size) { return m_buffers->Acquire(size); }
    // Waits until every queued byte of the file is hashed.
    void WaitHashed(UploadState& state);

private:
    static void Drain(const std::shared_ptr<UploadState>& state);

    static constexpr size_t kMaxPendingBytes = 32u << 20;

    std::shared_ptr<BufferPool> m_buffers = BufferPool::Create();
    std::mutex m_mutex;
    std::map<std::pair<int64_t, int64_t>, std::shared_ptr<UploadState>> m_states;
};
