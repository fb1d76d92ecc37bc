#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/loop_timer.h"
#include "relay/forward_generation.h"
#include "relay/tcp_sock_stream.h"

// One relayed connection: the accepted client and the outgoing connection to the destination.
struct CTcpSockPair {
    std::unique_ptr<CTcpSockStream> acceptSocket;
    std::unique_ptr<CTcpSockStream> connectSocket;
    // The settings it was accepted under, kept until it ends.
    std::shared_ptr<const ForwardGeneration> generation;
    // The destination's name lookup still running for this pair, or 0.
    std::uint64_t lookupTicket = 0;
    // Tells this pair from a later one in the same slot.
    std::uint64_t serial = 0;
    std::chrono::steady_clock::time_point acceptedAt;
    // The byte count last seen by the idle check, and since when it has not moved.
    std::uint64_t bytesSeen = 0;
    std::chrono::steady_clock::time_point quietSince;
    // Fails the connect when it takes too long; goes with the pair.
    LoopTimer connectTimer;

    std::uint64_t bytesUp() const { return acceptSocket->receivedBytes(); }
    std::uint64_t bytesDown() const { return connectSocket->receivedBytes(); }
};
