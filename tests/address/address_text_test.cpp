#include "address/address_text.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

struct TextCase {
    std::string text;
    int expected;
};

// 2^32 + 127: a parser that wraps around in 32 bits would read it as 127.
const std::string kHuge = "4294967423";

TEST(AddressTextTest, NumberText) {
    const TextCase cases[] = {
        {"", 1},   {"0042", 1}, {"0123456789", 1}, {"12a", 0}, {" 1", 0},
        {"1 ", 0}, {"-1", 0},   {"+1", 0},         {".", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNumberText(c.text), c.expected) << '"' << c.text << '"';
        EXPECT_EQ(isNumberText(c.text.c_str()), c.expected) << '"' << c.text << '"';
    }
}

TEST(AddressTextTest, LoopbackAddress) {
    const TextCase cases[] = {
        {"127.0.0.1", 1},  {"0127.000.0.01", 1},  {"127..0.1", 1},
        {"127.0.0.2", 0},  {"127.0.0.1.5", 0},    {"127.0.0.1 ", 0},
        {" 127.0.0.1", 0}, {"127.0.0", 0},        {"", 0},
        {"383.0.0.1", 0},  {kHuge + ".0.0.1", 0}, {"127.0.0." + kHuge, 0},
        {"localhost", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isLoopbackAddress(c.text), c.expected) << '"' << c.text << '"';
    }
    EXPECT_EQ(isLoopbackAddress(static_cast<const char*>(nullptr)), 0);
}

TEST(AddressTextTest, LocalAddress) {
    const TextCase cases[] = {
        {"10.255.255.255", 1}, {"172.16.0.1", 1}, {"172.31.9.9", 1}, {"192.168.0.1", 1},
        {"192.0.2.77", 1},     {"127.8.8.8", 1},  {"10.0.0.", 1},    {"010.0.0.0", 1},
        {"172.15.0.1", 0},     {"172.32.0.1", 0}, {"192.0.3.1", 0},  {"192.169.0.1", 0},
        {"11.0.0.1", 0},       {"10.0.0.256", 0}, {"8.8.8.8", 0},    {"10.0.0", 0},
        {"10.0.0.1.", 0},      {"", 0},           {"10.a.0.1", 0},   {"10.0.0." + kHuge, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isLocalAddress(c.text), c.expected) << '"' << c.text << '"';
    }
}

struct ParseCase {
    std::string text;
    int result;
    std::array<unsigned char, 4> parts;
    int prefix;
};

TEST(AddressTextTest, ParseAddressMask) {
    const ParseCase cases[] = {
        {"10.1.2.3", 1, {10, 1, 2, 3}, 32},
        {"10.1.2.3/8", 1, {10, 1, 2, 3}, 8},
        {"10.1.2.3/", 1, {10, 1, 2, 3}, 0},
        {"10.1.2.3/032", 1, {10, 1, 2, 3}, 32},
        {"...", 1, {0, 0, 0, 0}, 32},
        {"255.255.255.255/0", 1, {255, 255, 255, 255}, 0},
        // Failures leave the parts at 0 and the prefix at 32.
        {"10.1.2.3/33", 0, {0, 0, 0, 0}, 32},
        {"10.1.2.3/8/8", 0, {0, 0, 0, 0}, 32},
        {"10.1.2.3/x", 0, {0, 0, 0, 0}, 32},
        {"10.1.2.3/4294967328", 0, {0, 0, 0, 0}, 32},
        {"/24", 0, {0, 0, 0, 0}, 32},
        {"", 0, {0, 0, 0, 0}, 32},
        {"10.1.2", 0, {0, 0, 0, 0}, 32},
        {"10.1.2.300/8", 0, {0, 0, 0, 0}, 32},
    };
    for (const auto& c : cases) {
        std::array<unsigned char, 4> parts = {9, 9, 9, 9};
        int prefix = -1;
        EXPECT_EQ(parseAddressMask(c.text, parts, prefix), c.result) << '"' << c.text << '"';
        EXPECT_EQ(parts, c.parts) << '"' << c.text << '"';
        EXPECT_EQ(prefix, c.prefix) << '"' << c.text << '"';

        unsigned char rawParts[4] = {9, 9, 9, 9};
        int rawPrefix = -1;
        EXPECT_EQ(parseAddressMask(c.text.c_str(), rawParts, &rawPrefix), c.result);
        EXPECT_EQ(rawParts[0], c.parts[0]);
        EXPECT_EQ(rawParts[3], c.parts[3]);
        EXPECT_EQ(rawPrefix, c.prefix);
    }
}

struct MatchCase {
    std::string rule;
    std::string address;
    int expected;
};

TEST(AddressTextTest, MatchAddressMask) {
    const MatchCase cases[] = {
        {"192.168.1.0/24", "192.168.1.200", 1},
        {"192.168.1.0/24", "192.168.2.1", 0},
        {"192.168.1.5/24", "192.168.1.77", 1},
        {"0.0.0.0/0", "8.8.8.8", 1},
        {"0.0.0.0/0", "not an address", 0},
        {"10.0.0.1", "10.0.0.1", 1},
        {"10.0.0.1", "10.0.0.2", 0},
        {"10.0.0.0/8", "10.1.1.1/99", 0},
        {"10.0.0.0/8", "10.1.1.1/4", 1},
        {"172.16.0.0/12", "172.31.255.255", 1},
        {"172.16.0.0/12", "172.32.0.0", 0},
        {"10.0.0.0/33", "10.0.0.0", 0},
        {"", "10.0.0.0", 0},
        {"128.0.0.0/1", "200.1.1.1", 1},
        {"128.0.0.0/1", "127.255.255.255", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matchAddressMask(c.rule, c.address), c.expected) << c.rule << " vs " << c.address;
        EXPECT_EQ(matchAddressMask(c.rule.c_str(), c.address.c_str()), c.expected);
    }
}

TEST(AddressTextTest, PrefixMaskTable) {
    EXPECT_EQ(kPrefixMasks[0], 0x00000000u);
    EXPECT_EQ(kPrefixMasks[1], 0x80000000u);
    EXPECT_EQ(kPrefixMasks[8], 0xFF000000u);
    EXPECT_EQ(kPrefixMasks[12], 0xFFF00000u);
    EXPECT_EQ(kPrefixMasks[24], 0xFFFFFF00u);
    EXPECT_EQ(kPrefixMasks[31], 0xFFFFFFFEu);
    EXPECT_EQ(kPrefixMasks[32], 0xFFFFFFFFu);
}

TEST(AddressTextTest, Ipv6RulesAndMatches) {
    struct Case {
        std::string rule;
        std::string address;
        int ruleParses;
        int matches;
    };
    const Case cases[] = {
        {"fe80::/10", "fe80::1", 1, 1},
        {"[fe80::]/10", "febf:ffff::1", 1, 1},
        {"fe80::/10", "fec0::1", 1, 0},
        {"2001:db8:0:0:0:0:0:1", "[2001:db8::1]", 1, 1},
        {"2001:DB8::/32", "2001:db8:ffff::", 1, 1},
        {"::/0", "1234::5678", 1, 1},
        {"::/0", "10.0.0.1", 1, 0},  // an IPv4 address is no IPv6 address
        {"::ffff:10.0.0.0/104", "::ffff:10.9.9.9", 1, 1},
        {"::1/129", "::1", 0, 0},
        {"::1/", "::1", 0, 0},
        {"::1/0128", "::1", 0, 0},
        {"[::1/64]", "::1", 0, 0},
        {"[::1", "::1", 0, 0},
        {"::1%lo", "::1", 0, 0},
        {"1:2:3:4:5:6:7:8:9", "::1", 0, 0},
        {"10.0.0.0/8", "10.0.0.1", 0, 0},  // IPv4 rules are not IPv6 rules
        {"", "::", 0, 0},
        {std::string("::1\0/64", 7), "::1", 0, 0},
    };
    for (const auto& c : cases) {
        Ipv6Bytes bytes{};
        int prefix = -1;
        EXPECT_EQ(parseAddressMask6(c.rule, bytes, prefix), c.ruleParses) << c.rule;
        EXPECT_EQ(matchAddressMask6(c.rule, c.address), c.matches) << c.rule << " vs " << c.address;
    }
}

}  // namespace
