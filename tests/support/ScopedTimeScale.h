#pragma once

#include "core/FixedDelays.h"

namespace zorp::test {

// The test switch of the fixed delays (core/FixedDelays.h) for a test that runs the program's
// parts in its own process: every fixed delay is `scale` of its real length while the object
// lives, and the factor before it comes back afterwards. Parts read a delay when they use it,
// so the object is made before the part starts the wait it shortens.
class ScopedTimeScale {
public:
    explicit ScopedTimeScale(double scale) : m_previous(FixedDelays::Scale()) {
        FixedDelays::SetScale(scale);
    }
    ~ScopedTimeScale() { FixedDelays::SetScale(m_previous); }
    ScopedTimeScale(const ScopedTimeScale&) = delete;
    ScopedTimeScale& operator=(const ScopedTimeScale&) = delete;

private:
    double m_previous;
};

}  // namespace zorp::test
