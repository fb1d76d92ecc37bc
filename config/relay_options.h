#pragma once

// Per-port connection options, all off by default (the relay then behaves as it always has).
struct RelayOptions {
    // One side's end is passed on as a shutdown for writing; the other direction goes on.
    bool halfClose = false;
    // A connect to the destination (all its addresses together) that takes longer fails;
    // 0 leaves it to the system.
    int connectTimeoutSeconds = 0;
    // A pair with no byte in either direction for this long is closed; 0 never.
    int idleTimeoutSeconds = 0;
    // TCP keepalive on both sockets of a pair.
    bool keepAlive = false;

    bool operator==(const RelayOptions&) const = default;
};
