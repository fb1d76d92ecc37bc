#include "relay/proxy_header.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

SocketAddress at(const std::string& text, int port) {
    SocketAddress address;
    EXPECT_TRUE(parseNumericAddress(text, port, address)) << text;
    return address;
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int value : values) {
        out += static_cast<char>(value);
    }
    return out;
}

// The v2 header: signature, version 2 with PROXY, the family, the length, then the body.
std::string binary(char family, const std::string& body) {
    std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
    header += '\x21';
    header += family;
    header += static_cast<char>(body.size() >> 8);
    header += static_cast<char>(body.size() & 0xFF);
    return header + body;
}

struct HeaderCase {
    const char* what;
    SocketAddress client;
    SocketAddress local;
    std::string v1;
    std::string v2;
};

TEST(ProxyHeaderTest, BothVersionsHoldTheClientAndTheAddressItReached) {
    const std::string v4Body = bytes({192, 168, 0, 1, 192, 168, 0, 11, 0xdc, 0x04, 0x01, 0xbb});
    const std::string v6Body =
        bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    1,    0,    0,
               0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xdc, 0x04, 0x01, 0xbb});
    const std::string mixedBody =
        bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1, 0, 0,
               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0,   1, 0, 1, 0, 2});
    const std::vector<HeaderCase> cases = {
        {"IPv4", at("192.168.0.1", 56324), at("192.168.0.11", 443),
         "PROXY TCP4 192.168.0.1 192.168.0.11 56324 443\r\n", binary('\x11', v4Body)},
        {"IPv6", at("2001:db8::1", 56324), at("::1", 443),
         "PROXY TCP6 2001:db8::1 ::1 56324 443\r\n", binary('\x21', v6Body)},
        {"mapped IPv4 on a dual-stack socket", at("::ffff:192.168.0.1", 56324),
         at("::ffff:192.168.0.11", 443), "PROXY TCP4 192.168.0.1 192.168.0.11 56324 443\r\n",
         binary('\x11', v4Body)},
        {"IPv4 towards IPv6", at("127.0.0.1", 1), at("::1", 2),
         "PROXY TCP6 ::ffff:127.0.0.1 ::1 1 2\r\n", binary('\x21', mixedBody)},
    };
    for (const HeaderCase& c : cases) {
        EXPECT_EQ(proxyHeader(1, c.client, c.local), c.v1) << c.what;
        EXPECT_EQ(proxyHeader(2, c.client, c.local), c.v2) << c.what;
    }
    EXPECT_EQ(binary('\x11', v4Body).size(), 28u);
    EXPECT_EQ(binary('\x21', v6Body).size(), 52u);
    EXPECT_EQ(proxyHeader(3, cases[0].client, cases[0].local), "");
    EXPECT_EQ(proxyHeader(1, SocketAddress{}, cases[0].local), "");
}

}  // namespace
