#pragma once

#include <cstdint>
#include <memory>

#include "relay/tcp_sock_stream.h"

// One relayed connection: the accepted client and the outgoing connection to the destination.
struct CTcpSockPair {
    std::unique_ptr<CTcpSockStream> acceptSocket;
    std::unique_ptr<CTcpSockStream> connectSocket;
    // The destination's name lookup still running for this pair, or 0.
    std::uint64_t lookupTicket = 0;
};
