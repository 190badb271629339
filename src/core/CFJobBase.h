#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "platform/Event.h"
#include "platform/WaitableObject.h"

template <typename T>
class CFThreadPool;

// One unit of work for a CFThreadPool<T>. T is the job's parameter (usually an owning pointer).
// The pool owns the job from submission on and destroys it after OnFinalize (when it ran) or
// OnCancelJob (when it was still waiting as the pool went away).
template <typename T>
class CFJobBase {
public:
    explicit CFJobBase(T param, int priority = 0)
        : m_param(std::move(param)), m_priority(priority) {}
    virtual ~CFJobBase() = default;
    CFJobBase(const CFJobBase&) = delete;
    CFJobBase& operator=(const CFJobBase&) = delete;

    // A job whose Initialize returns false is dropped without Run and without OnFinalize.
    virtual bool Initialize() { return true; }
    virtual void Run() = 0;
    virtual void OnFinalize() {}
    virtual void OnCancelJob() {}

    T& GetParam() { return m_param; }
    const T& GetParam() const { return m_param; }
    int GetPriority() const { return m_priority; }
    void SetPriority(int priority) { m_priority = priority; }
    int GetJobIndex() const { return m_jobIndex; }
    CFThreadPool<T>* GetPool() const { return m_pool; }

    // Asks a running job to end at its next ShouldContinue.
    void RequestStop() { m_jobEvent.Set(); }

    // The check a job makes between blocks of work. Waits for the first of: this job's stop
    // request, the pool's stop, the pool's permission to go on (absent while the pool is
    // paused). Returns true only when the permission came first.
    bool ShouldContinue(uint32_t timeoutMs = platform::kInfinite) {
        if (!m_pool) {
            return !m_jobEvent.IsSet();
        }
        return m_pool->WaitJobContinue(this, timeoutMs) == CFThreadPool<T>::kContinue;
    }

    platform::Event& JobEvent() { return m_jobEvent; }

private:
    friend class CFThreadPool<T>;

    T m_param;
    int m_priority = 0;
    int m_jobIndex = 0;
    platform::Event m_jobEvent{true, false};
    CFThreadPool<T>* m_pool = nullptr;
};

// ShouldContinue needs the whole pool; this include comes last so either header can be first.
#include "core/CFThreadPool.h"
