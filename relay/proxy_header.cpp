#include "relay/proxy_header.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::array<unsigned char, 12> kSignature = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                      0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr unsigned char kVersion2Proxy = 0x21;
constexpr unsigned char kTcpOverIpv4 = 0x11;
constexpr unsigned char kTcpOverIpv6 = 0x21;

// One end as raw bytes in network order: 4 for IPv4, 16 for IPv6.
struct End {
    std::array<unsigned char, 16> bytes{};
    std::size_t length = 0;
    std::uint16_t port = 0;  // host order
};

bool endOf(const SocketAddress& address, End& end) {
    if (address.family() == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address.storage);
        std::memcpy(end.bytes.data(), &v4.sin_addr, 4);
        end.length = 4;
        end.port = ntohs(v4.sin_port);
        return true;
    }
    if (address.family() == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address.storage);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            std::memcpy(end.bytes.data(), &v6.sin6_addr.s6_addr[12], 4);
            end.length = 4;
        } else {
            std::memcpy(end.bytes.data(), &v6.sin6_addr, 16);
            end.length = 16;
        }
        end.port = ntohs(v6.sin6_port);
        return true;
    }
    return false;
}

// An IPv4 end among an IPv6 one is told as IPv4-mapped, so both ends share one family.
void widen(End& end) {
    if (end.length == 4) {
        std::array<unsigned char, 16> mapped{};
        mapped[10] = 0xFF;
        mapped[11] = 0xFF;
        std::memcpy(&mapped[12], end.bytes.data(), 4);
        end.bytes = mapped;
        end.length = 16;
    }
}

std::string text(const End& end) {
    std::array<char, INET6_ADDRSTRLEN> buffer{};
    inet_ntop(end.length == 4 ? AF_INET : AF_INET6, end.bytes.data(), buffer.data(),
              static_cast<socklen_t>(buffer.size()));
    return buffer.data();
}

void appendPort(std::string& out, std::uint16_t port) {
    out += static_cast<char>(port >> 8);
    out += static_cast<char>(port & 0xFF);
}

}  // namespace

std::string proxyHeader(int version, const SocketAddress& client, const SocketAddress& local) {
    End source;
    End destination;
    if ((version != 1 && version != 2) || !endOf(client, source) || !endOf(local, destination)) {
        return {};
    }
    if (source.length != destination.length) {
        widen(source);
        widen(destination);
    }
    const bool ipv4 = source.length == 4;
    if (version == 1) {
        return std::string("PROXY ") + (ipv4 ? "TCP4 " : "TCP6 ") + text(source) + " " +
               text(destination) + " " + std::to_string(source.port) + " " +
               std::to_string(destination.port) + "\r\n";
    }
    std::string out(kSignature.begin(), kSignature.end());
    out += static_cast<char>(kVersion2Proxy);
    out += static_cast<char>(ipv4 ? kTcpOverIpv4 : kTcpOverIpv6);
    appendPort(out, static_cast<std::uint16_t>(2 * source.length + 4));
    out.append(reinterpret_cast<const char*>(source.bytes.data()), source.length);
    out.append(reinterpret_cast<const char*>(destination.bytes.data()), destination.length);
    appendPort(out, source.port);
    appendPort(out, destination.port);
    return out;
}
