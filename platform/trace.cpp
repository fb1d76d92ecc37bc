#include "platform/trace.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>

namespace {
bool g_traceEnabled = true;
}

bool traceEnabled() {
    return g_traceEnabled;
}

void setTraceEnabled(bool enabled) {
    g_traceEnabled = enabled;
}

void updateTraceForStandardOutput() {
    struct stat out {};
    struct stat null {};
    bool isNull = fstat(fileno(stdout), &out) == 0 && stat("/dev/null", &null) == 0 &&
                  S_ISCHR(out.st_mode) && out.st_rdev == null.st_rdev;
    g_traceEnabled = !isNull;
}

void traceLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}
