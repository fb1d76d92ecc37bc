#include "platform/descriptor_limit.h"

#include <sys/resource.h>

#include <cerrno>

namespace {
long asLong(rlim_t value) {
    return value == RLIM_INFINITY ? -1 : static_cast<long>(value);
}
}  // namespace

DescriptorLimit raiseDescriptorLimit() {
    DescriptorLimit result;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        result.error = errno;
        return result;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        } else {
            result.error = errno;
        }
    }
    result.soft = asLong(limit.rlim_cur);
    result.hard = asLong(limit.rlim_max);
    return result;
}
