#pragma once

#include <cstdint>

// What one forward has relayed since it was last switched ON, as a plain value that any
// thread may hold: bytes from clients (up) and from the destination (down), of connections
// still open and of those that have closed, the connections (UDP: sessions) it has served
// and the most it held at once.
struct ForwardTotals {
    std::uint64_t bytesUp = 0;
    std::uint64_t bytesDown = 0;
    std::uint64_t connectionsServed = 0;
    int mostAtOnce = 0;

    bool operator==(const ForwardTotals& other) const = default;
};
