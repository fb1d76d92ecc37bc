#pragma once

#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

// One IPv4 or IPv6 socket address, as the system's calls take and give it.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const { return storage.ss_family; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

// A numeric address text (dotted IPv4, or IPv6 with or without brackets) with a port; false
// for a host name or anything else.
bool parseNumericAddress(const std::string& text, int port, SocketAddress& out);

// An IPv4 address as the IPv4-mapped IPv6 address (::ffff:a.b.c.d) with the same port.
SocketAddress mappedToIpv6(const SocketAddress& ipv4);

// The address as text and its port: IPv4 (and IPv4-mapped IPv6) in dotted form, IPv6 in its
// compressed form. False for any other family.
bool addressToText(const SocketAddress& address, std::string& text, unsigned int& port);

// Resolves host (a number or a name) for a TCP connect to port, in the order the system gives.
// Returns 0 or a Windows Sockets error number (a name that does not resolve gives WSAEINVAL).
// Blocking: the relay calls it off its own thread.
using LookupFunction =
    std::function<int(const std::string& host, int port, std::vector<SocketAddress>& addresses)>;
int systemLookup(const std::string& host, int port, std::vector<SocketAddress>& addresses);
