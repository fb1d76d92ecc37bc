#pragma once

// The relay's trace: printf-style lines on standard output, no time stamps, no levels.
// When nobody can see standard output (it is the null device) the lines are not even
// formatted, which keeps the per-event path cheap.

bool traceEnabled();
void setTraceEnabled(bool enabled);

// Turns tracing off when standard output is the null device, on otherwise.
void updateTraceForStandardOutput();

void traceLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Skips the argument evaluation too while tracing is off.
#define TRACE(...)                  \
    do {                            \
        if (traceEnabled()) {       \
            traceLine(__VA_ARGS__); \
        }                           \
    } while (0)
