#pragma once

#include <cstdio>

#include "platform/trace.h"

// Points standard output at the null device, where the engine's trace is not even
// formatted, as in the program without the debug switch. False when that failed or the
// trace is still on.
inline bool sendTraceToNullDevice() {
    std::fflush(stdout);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return false;
    }
    updateTraceForStandardOutput();
    return !traceEnabled();
}
