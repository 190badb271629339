#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "core/CFPoolManager.h"
#include "upload/TravelDirParam.h"

// The folder-walk pool: five threads, one dropped folder per job (TravelDirHandler). The
// dispatcher registers the batch target and the dropped folder with the backup file list
// before it adds the job; the job's batches and failures go to the window it names.
class TravelDirMgr : public CFPoolManager<std::unique_ptr<TravelDirParam>> {
public:
    static TravelDirMgr& GetInstance();
    TravelDirMgr();

    bool Start() override;
    void Stop() override;

    // Queues a walk of `path`. False when the manager is not running.
    bool AddJob(platform::WindowHandle window, const std::filesystem::path& path);
    bool IsRunning() const { return m_running; }

    // The pause after each full batch, so that a large tree does not flood hashing.
    void SetBatchPauseMs(uint32_t pauseMs) { m_batchPauseMs = pauseMs; }
    uint32_t GetBatchPauseMs() const { return m_batchPauseMs; }

private:
    std::atomic<bool> m_running{false};
    std::atomic<uint32_t> m_batchPauseMs;
};
