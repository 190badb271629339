#include "platform/ProcessLimits.h"

#include <sys/resource.h>


namespace platform {

uint64_t RaiseOpenFileLimit(uint64_t minimum) {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < minimum) {
        rlim_t wanted = minimum;
        if (limit.rlim_max != RLIM_INFINITY && wanted > limit.rlim_max) {
            wanted = limit.rlim_max;
        }
        struct rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur;
}

}  // namespace platform
