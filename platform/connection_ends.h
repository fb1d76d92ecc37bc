#pragma once

#include "platform/socket_address.h"

// The two ends of a connected socket: its peer and the local address the peer reached.
// False when either cannot be read (the connection has already gone).
bool connectionEnds(int fd, SocketAddress& peer, SocketAddress& local);
