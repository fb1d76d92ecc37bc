#include "platform/trace.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {
// Read by the socket loop's thread, set by the window's.
std::atomic<bool> g_traceEnabled = true;
}  // namespace

bool traceEnabled() {
    return g_traceEnabled.load(std::memory_order_relaxed);
}

void setTraceEnabled(bool enabled) {
    g_traceEnabled.store(enabled, std::memory_order_relaxed);
}

void updateTraceForStandardOutput() {
    struct stat out {};
    struct stat null {};
    bool isNull = fstat(fileno(stdout), &out) == 0 && stat("/dev/null", &null) == 0 &&
                  S_ISCHR(out.st_mode) && out.st_rdev == null.st_rdev;
    g_traceEnabled.store(!isNull, std::memory_order_relaxed);
}

void traceLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}
