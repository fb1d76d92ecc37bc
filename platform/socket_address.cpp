#include "platform/socket_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>

#include "platform/wsa_error.h"

namespace {
bool validPort(int port) {
    return port >= 0 && port <= 65535;
}
}  // namespace

bool parseNumericAddress(const std::string& text, int port, SocketAddress& out) {
    if (!validPort(port)) {
        return false;
    }
    auto networkPort = htons(static_cast<std::uint16_t>(port));
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        out = SocketAddress{};
        auto* address = reinterpret_cast<sockaddr_in*>(&out.storage);
        address->sin_family = AF_INET;
        address->sin_port = networkPort;
        address->sin_addr = v4;
        out.length = sizeof(sockaddr_in);
        return true;
    }
    std::string bare = text;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') {
        bare = bare.substr(1, bare.size() - 2);
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, bare.c_str(), &v6) != 1) {
        return false;
    }
    out = SocketAddress{};
    auto* address = reinterpret_cast<sockaddr_in6*>(&out.storage);
    address->sin6_family = AF_INET6;
    address->sin6_port = networkPort;
    address->sin6_addr = v6;
    out.length = sizeof(sockaddr_in6);
    return true;
}

SocketAddress mappedToIpv6(const SocketAddress& ipv4) {
    const auto* from = reinterpret_cast<const sockaddr_in*>(&ipv4.storage);
    SocketAddress out;
    auto* to = reinterpret_cast<sockaddr_in6*>(&out.storage);
    to->sin6_family = AF_INET6;
    to->sin6_port = from->sin_port;
    to->sin6_addr.s6_addr[10] = 0xFF;
    to->sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(&to->sin6_addr.s6_addr[12], &from->sin_addr, 4);
    out.length = sizeof(sockaddr_in6);
    return out;
}

namespace {

// Dotted form of four address bytes. inet_ntop formats through sprintf, which made up a
// third of the relay's work per connection: every connection names four ends.
void dottedQuad(const unsigned char* bytes, std::string& text) {
    char buffer[16];
    char* out = buffer;
    for (int i = 0; i < 4; ++i) {
        unsigned value = bytes[i];
        if (value >= 100) {
            *out++ = static_cast<char>('0' + value / 100);
        }
        if (value >= 10) {
            *out++ = static_cast<char>('0' + value / 10 % 10);
        }
        *out++ = static_cast<char>('0' + value % 10);
        if (i < 3) {
            *out++ = '.';
        }
    }
    text.assign(buffer, out);
}

}  // namespace

bool addressToText(const SocketAddress& address, std::string& text, unsigned int& port) {
    if (address.family() == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address.storage);
        dottedQuad(reinterpret_cast<const unsigned char*>(&v4->sin_addr), text);
        port = ntohs(v4->sin_port);
        return true;
    }
    if (address.family() != AF_INET6) {
        return false;
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address.storage);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
        // A client of the dual-stack listener that came over IPv4 reads as one.
        dottedQuad(&v6->sin6_addr.s6_addr[12], text);
    } else {
        char buffer[INET6_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET6, &v6->sin6_addr, buffer, sizeof buffer) == nullptr) {
            return false;
        }
        text = buffer;
    }
    port = ntohs(v6->sin6_port);
    return true;
}

int systemLookup(const std::string& host, int port, std::vector<SocketAddress>& addresses) {
    addresses.clear();
    SocketAddress numeric;
    if (parseNumericAddress(host, port, numeric)) {
        addresses.push_back(numeric);
        return 0;
    }
    if (host.empty() || !validPort(port)) {
        return WSAEINVAL;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return WSAEINVAL;
    }
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addrlen > sizeof(sockaddr_storage)) {
            continue;
        }
        SocketAddress address;
        std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
        address.length = entry->ai_addrlen;
        auto networkPort = htons(static_cast<std::uint16_t>(port));
        if (address.family() == AF_INET) {
            reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = networkPort;
        } else if (address.family() == AF_INET6) {
            reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = networkPort;
        } else {
            continue;
        }
        addresses.push_back(address);
    }
    freeaddrinfo(found);
    return addresses.empty() ? WSAEINVAL : 0;
}
