#pragma once

#include <string>

#include "platform/socket_address.h"

// The PROXY protocol header that tells a destination who the client really is: version 1
// (one text line) or 2 (binary), for a TCP connection from client to the address it
// reached (local). An IPv4 client seen by a socket of both families (an IPv4-mapped IPv6
// address) is told as IPv4. Empty for another version or an address that is neither IPv4
// nor IPv6.
std::string proxyHeader(int version, const SocketAddress& client, const SocketAddress& local);
