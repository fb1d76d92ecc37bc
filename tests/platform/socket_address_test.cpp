#include "platform/socket_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

// Every byte value in every position reads as inet_ntop reads it, for IPv4 and for IPv4
// mapped into IPv6; plain IPv6 keeps the compressed form.
TEST(AddressToText, ReadsAsTheSystemWritesIt) {
    for (int position = 0; position < 4; ++position) {
        for (int value = 0; value < 256; ++value) {
            unsigned char bytes[4] = {10, 0, 0, 1};
            bytes[position] = static_cast<unsigned char>(value);
            char expected[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, bytes, expected, sizeof expected);
            for (const std::string& form :
                 {std::string(expected), "::ffff:" + std::string(expected)}) {
                SocketAddress address;
                ASSERT_TRUE(parseNumericAddress(form, 4321, address)) << form;
                std::string text;
                unsigned int port = 0;
                ASSERT_TRUE(addressToText(address, text, port));
                EXPECT_EQ(text, expected) << form;
                EXPECT_EQ(port, 4321u);
            }
        }
    }
    SocketAddress v6;
    ASSERT_TRUE(parseNumericAddress("2001:db8:0:0:0:0:0:1", 80, v6));
    std::string text;
    unsigned int port = 0;
    ASSERT_TRUE(addressToText(v6, text, port));
    EXPECT_EQ(text, "2001:db8::1");
    EXPECT_EQ(port, 80u);
}

}  // namespace
