#pragma once

#include <memory>

#include "relay/tcp_sock_stream.h"

// One relayed connection: the accepted client and the outgoing connection to the destination.
struct CTcpSockPair {
    std::unique_ptr<CTcpSockStream> acceptSocket;
    std::unique_ptr<CTcpSockStream> connectSocket;
};
