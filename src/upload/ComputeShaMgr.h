#pragma once

#include <atomic>
#include <memory>

#include "core/CFPoolManager.h"
#include "upload/CalcShaParam.h"

// The hash pool: five threads, one file per job. Results go to the window named in each job.
class ComputeShaMgr : public CFPoolManager<std::unique_ptr<CalcShaParam>> {
public:
    static ComputeShaMgr& GetInstance();
    ComputeShaMgr();

    bool Start() override;
    void Stop() override;

    // Queues a copy of the request. False when the pool is not running; the caller then posts
    // the result message itself so that its count of jobs in flight stays right.
    bool AddJob(const CalcShaParam& param);
    bool IsRunning() const { return m_running; }

private:
    std::atomic<bool> m_running{false};
};
