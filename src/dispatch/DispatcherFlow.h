#pragma once

#include "dispatch/DispatcherContext.h"

// What every flow of the dispatcher is: a part of one controller, on the drop window's
// thread, sharing the dispatcher's context. Flows are owned by the dispatcher and never
// copied.
class DispatcherFlow {
public:
    DispatcherFlow(const DispatcherFlow&) = delete;
    DispatcherFlow& operator=(const DispatcherFlow&) = delete;

protected:
    explicit DispatcherFlow(DispatcherContext& context) : m_context(context) {}
    ~DispatcherFlow() = default;

    DispatcherContext& m_context;
};
