#pragma once

#include <cstdint>

// Which end of a relayed pair a stream is: the client's connection the port accepted, or the
// one made to the destination.
enum class Side : std::uint8_t { Accepted, Connected };

// The side's name in trace lines.
constexpr const char* sideName(Side side) {
    return side == Side::Accepted ? "acceptSocket" : "connectSocket";
}
