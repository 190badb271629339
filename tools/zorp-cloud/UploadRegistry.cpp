#include "UploadRegistry.h"

#include <algorithm>

UploadRegistry::UploadRegistry(unsigned hashThreads) {
    for (unsigned i = 0; i < std::max(1u, hashThreads); ++i) {
        m_threads.emplace_back([this] { WorkerMain(); });
    }
}

UploadRegistry::~UploadRegistry() {
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_stopping = true;
    }
    m_queueChanged.notify_all();
    for (auto& thread : m_threads) {
        thread.join();
    }
}

std::shared_ptr<UploadState> UploadRegistry::Get(int64_t fid, int64_t gen) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto& state = m_states[{fid, gen}];
    if (!state) {
        state = std::make_shared<UploadState>();
    }
    return state;
}

void UploadRegistry::Forget(int64_t fid, int64_t gen) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_states.erase({fid, gen});
}

void UploadRegistry::ForgetFile(int64_t fid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_states, [fid](const auto& entry) { return entry.first.first == fid; });
}

void UploadRegistry::QueueHash(const std::shared_ptr<UploadState>& state,
                               std::shared_ptr<const BufferPool::Buffer> buffer, size_t offset,
                               size_t size) {
    bool start = false;
    {
        std::unique_lock<std::mutex> lock(state->lock);
        state->changed.wait(lock, [&] { return state->pendingBytes < kMaxPendingBytes; });
        state->pending.push_back({std::move(buffer), offset, size});
        state->pendingBytes += size;
        if (!state->hashing) {
            state->hashing = true;
            start = true;
        }
    }
    if (start) {
        {
            std::lock_guard<std::mutex> lock(m_queueMutex);
            m_jobs.push_back([this, state] { Drain(state); });
        }
        m_queueChanged.notify_one();
    }
}

void UploadRegistry::WaitHashed(UploadState& state) {
    std::unique_lock<std::mutex> lock(state.lock);
    state.changed.wait(lock, [&] { return !state.hashing && state.pending.empty(); });
}

void UploadRegistry::Drain(const std::shared_ptr<UploadState>& state) {
    for (;;) {
        UploadState::Piece piece;
        {
            std::lock_guard<std::mutex> lock(state->lock);
            if (state->pending.empty()) {
                state->hashing = false;
                state->changed.notify_all();
                return;
            }
            piece = std::move(state->pending.front());
            state->pending.pop_front();
        }
        // Only this worker touches the hasher while `hashing` is set.
        state->hasher.Update(piece.buffer->data() + piece.offset, piece.size);
        {
            std::lock_guard<std::mutex> lock(state->lock);
            state->pendingBytes -= piece.size;
        }
        state->changed.notify_all();
    }
}

void UploadRegistry::WorkerMain() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            m_queueChanged.wait(lock, [&] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty()) {
                return;  // stopping, and nothing left to hash
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}
