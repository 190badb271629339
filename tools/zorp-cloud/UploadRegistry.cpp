#include "UploadRegistry.h"

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

std::function<void()> UploadRegistry::QueueHash(const std::shared_ptr<UploadState>& state,
                                                std::shared_ptr<const BufferPool::Buffer> buffer,
                                                size_t offset, size_t size) {
    std::unique_lock<std::mutex> lock(state->lock);
    state->changed.wait(lock, [&] { return state->pendingBytes < kMaxPendingBytes; });
    state->pending.push_back({std::move(buffer), offset, size});
    state->pendingBytes += size;
    if (state->hashing) {
        return {};
    }
    state->hashing = true;
    return [state] { Drain(state); };
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
        // Only the draining thread feeds the hasher while `hashing` is set.
        state->hasher.Update(piece.buffer->data() + piece.offset, piece.size);
        {
            std::lock_guard<std::mutex> lock(state->lock);
            state->pendingBytes -= piece.size;
        }
        state->changed.notify_all();
    }
}
