#include "address/ip_filter.h"

#include <gtest/gtest.h>

#include "address/filter_rule.h"

#include <string>
#include <vector>

namespace {

TEST(IpFilterTest, DefaultFilterAdmitsEverything) {
    const CIpFilter filter;
    EXPECT_EQ(filter.mode, 0);
    EXPECT_EQ(filter.allowCount, 0);
    EXPECT_EQ(filter.denyCount, 0);
    for (const char* text : {"", "abc", "1.2.3.4"}) {
        EXPECT_NE(filter.checkAddress(std::string(text)), 0) << text;
        EXPECT_NE(filter.checkAddress(text), 0) << text;
    }
    EXPECT_NE(filter.checkAddress(static_cast<const char*>(nullptr)), 0);
}

struct ModeCase {
    int mode;
    std::string address;
    bool admitted;
};

TEST(IpFilterTest, ModesDispatch) {
    const ModeCase cases[] = {
        {1, "127.0.0.1", true}, {1, "127.0.0.2", false},  {1, "", false},
        {1, "abc", false},      {2, "192.168.3.4", true}, {2, "127.9.9.9", true},
        {2, "8.8.8.8", false},  {2, "", false},           {7, "", true},
        {7, "abc", true},       {7, "8.8.8.8", true},     {-1, "8.8.8.8", true},
        {3, "10.0.0.1", false},  // allow list is empty
    };
    for (const auto& c : cases) {
        CIpFilter filter;
        filter.mode = c.mode;
        EXPECT_EQ(filter.checkAddress(c.address) != 0, c.admitted)
            << "mode " << c.mode << " address \"" << c.address << '"';
    }
}

TEST(IpFilterTest, EmptyAllowListRefusesWhateverTheDenyList) {
    CIpFilter filter;
    filter.mode = 3;
    filter.allowList[0] = "0.0.0.0/0";  // beyond the count, so never consulted
    filter.denyCount = 1;
    filter.denyList[0] = "192.0.2.0/24";
    for (const char* address : {"10.0.0.1", "192.0.2.1", "127.0.0.1"}) {
        EXPECT_EQ(filter.checkAddress(address), 0) << address;
        EXPECT_EQ(filter.checkAddressList(address), 0) << address;
    }
}

TEST(IpFilterTest, DenyOverridesAllow) {
    CIpFilter filter;
    filter.mode = 3;
    filter.allowCount = 1;
    filter.allowList[0] = "10.0.0.0/8";
    filter.denyCount = 1;
    filter.denyList[0] = "10.0.0.5";
    filter.denyList[1] = "10.0.0.4";  // beyond the count
    EXPECT_NE(filter.checkAddress("10.0.0.4"), 0);
    EXPECT_EQ(filter.checkAddress("10.0.0.5"), 0);
    EXPECT_EQ(filter.checkAddress("11.0.0.1"), 0);
    EXPECT_EQ(filter.checkAddress(""), 0);
}

TEST(IpFilterTest, MalformedEntriesAreSkipped) {
    CIpFilter filter;
    filter.mode = 3;
    filter.allowCount = 3;
    filter.allowList[0] = "bad";
    filter.allowList[1] = "";
    filter.allowList[2] = "10.0.0.0/8";
    filter.denyCount = 2;
    filter.denyList[0] = "";
    filter.denyList[1] = "10.0.0.0/40";
    EXPECT_NE(filter.checkAddress("10.2.3.4"), 0);
    EXPECT_EQ(filter.checkAddress("11.2.3.4"), 0);
}

TEST(IpFilterTest, EveryAllowSlotIsConsulted) {
    CIpFilter filter;
    filter.mode = 3;
    filter.allowCount = CIpFilter::kListSize;
    for (int i = 0; i < CIpFilter::kListSize; ++i) {
        filter.allowList[i] = "10.0.0." + std::to_string(i);
    }
    EXPECT_NE(filter.checkAddress("10.0.0.9"), 0);
    EXPECT_EQ(filter.checkAddress("10.0.0.10"), 0);
}

TEST(IpFilterTest, CopyAssignmentCopiesEntriesBeyondTheCounts) {
    CIpFilter source;
    source.mode = 3;
    source.allowCount = 2;
    source.denyCount = 1;
    for (int i = 0; i < CIpFilter::kListSize; ++i) {
        source.allowList[i] = "10.0.0." + std::to_string(i);
        source.denyList[i] = "10.1.0." + std::to_string(i);
    }

    CIpFilter target;
    target.allowList[9] = "stale";
    target = source;
    EXPECT_EQ(target.mode, 3);
    EXPECT_EQ(target.allowCount, 2);
    EXPECT_EQ(target.denyCount, 1);
    for (int i = 0; i < CIpFilter::kListSize; ++i) {
        EXPECT_EQ(target.allowList[i], source.allowList[i]) << i;
        EXPECT_EQ(target.denyList[i], source.denyList[i]) << i;
    }

    // Assigned values are independent of the source afterwards.
    source.allowList[0] = "changed";
    EXPECT_EQ(target.allowList[0], "10.0.0.0");
    EXPECT_NE(target.checkAddress("10.0.0.1"), 0);
}

struct FamilyCase {
    int mode;
    const char* address;
    bool admitted;
};

// Modes 0 to 3 for IPv4, IPv4-mapped and IPv6 peers; mode 3 allows 127.0.0.0/8 and fd00::/8
// and denies 127.0.0.3 and fd00::3.
TEST(IpFilterTest, ModesForEachAddressFamily) {
    const FamilyCase cases[] = {
        {0, "2001:db8::1", true},
        {0, "::ffff:8.8.8.8", true},
        {1, "::1", true},
        {1, "[::1]", true},
        {1, "::2", false},
        {1, "::ffff:127.0.0.1", true},
        {1, "::ffff:127.0.0.2", false},
        {2, "fd12::1", true},
        {2, "fe80::abcd", true},
        {2, "::1", true},
        {2, "2001:db8::1", false},
        {2, "::ffff:192.168.1.1", true},
        {2, "::ffff:8.8.8.8", false},
        {3, "127.0.0.2", true},
        {3, "127.0.0.3", false},
        {3, "::ffff:127.0.0.2", true},
        {3, "::ffff:7f00:3", false},
        {3, "fd00::2", true},
        {3, "fd00::3", false},
        {3, "fe80::2", false},
        {3, "::1", false},  // 127.0.0.0/8 is an IPv4 rule
        {3, "", false},
    };
    for (const auto& c : cases) {
        CIpFilter filter;
        filter.mode = c.mode;
        filter.allowCount = 2;
        filter.allowList[0] = "127.0.0.0/8";
        filter.allowList[1] = "[fd00::]/8";
        filter.denyCount = 2;
        filter.denyList[0] = "127.0.0.3";
        filter.denyList[1] = "fd00::3";
        EXPECT_EQ(filter.checkAddress(c.address) != 0, c.admitted)
            << "mode " << c.mode << " address " << c.address;
    }
}

TEST(IpFilterTest, RulesOfOneFamilyNeverMatchTheOther) {
    CIpFilter filter;
    filter.mode = 3;
    filter.allowCount = 2;
    filter.allowList[0] = "0.0.0.0/0";
    filter.allowList[1] = "::/0";
    EXPECT_NE(filter.checkAddress("10.0.0.1"), 0);
    EXPECT_NE(filter.checkAddress("2001:db8::1"), 0);
    filter.denyCount = 1;
    filter.denyList[0] = "::/0";
    EXPECT_NE(filter.checkAddress("10.0.0.1"), 0);
    EXPECT_NE(filter.checkAddress("::ffff:10.0.0.1"), 0);
    EXPECT_EQ(filter.checkAddress("2001:db8::1"), 0);
    filter.denyList[0] = "0.0.0.0/0";
    EXPECT_EQ(filter.checkAddress("::ffff:10.0.0.1"), 0);
    EXPECT_NE(filter.checkAddress("2001:db8::1"), 0);
}

// A rule written in the IPv4-mapped range means its IPv4 rule, for clients of either form, on
// both lists; a shorter IPv6 prefix reaching past the range stays an IPv6 rule.
TEST(IpFilterTest, MappedRulesMatchAsTheirIpv4Equivalent) {
    struct Case {
        const char* rule;
        const char* peer;
        bool matches;
    };
    const Case cases[] = {
        {"::ffff:127.0.0.0/104", "127.0.0.1", true},
        {"::ffff:127.0.0.0/104", "::ffff:127.0.0.1", true},
        {"::ffff:127.0.0.0/104", "128.0.0.1", false},
        {"::ffff:0:0/96", "10.1.2.3", true},
        {"[::ffff:10.0.0.5]", "10.0.0.5", true},
        {"::ffff:10.0.0.5", "10.0.0.6", false},
        {"::ffff:0:0/95", "10.1.2.3", false},
        {"::ffff:0:0/96", "2001:db8::1", false},
    };
    for (const Case& c : cases) {
        CIpFilter allow;
        allow.mode = 3;
        allow.allowCount = 1;
        allow.allowList[0] = c.rule;
        CIpFilter deny;
        deny.mode = 3;
        deny.allowCount = 2;
        deny.allowList[0] = "0.0.0.0/0";
        deny.allowList[1] = "::/0";
        deny.denyCount = 1;
        deny.denyList[0] = c.rule;
        EXPECT_EQ(allow.checkAddress(c.peer) != 0, c.matches) << c.rule << " allows " << c.peer;
        EXPECT_EQ(deny.checkAddress(c.peer) == 0, c.matches) << c.rule << " denies " << c.peer;
        EXPECT_TRUE(isFilterRule(c.rule));
    }
}

// Each IPv4 entry as an allow rule alone and as a deny rule beside 0.0.0.0/0. A text that
// is not a rule matches no one on either list, even where the address checks' looser reading
// would match.
TEST(IpFilterTest, OnlyWellFormedIpv4RulesMatch) {
    struct Case {
        const char* rule;
        const char* peer;
        bool matches;  // false for every text that is not a rule
    };
    const Case rules[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.2", false},
        {"127.0.0.0/8", "127.9.9.9", true},
        {"127.0.0.0/08", "127.9.9.9", true},
        {"010.000.0.1/32", "10.0.0.1", true},
        {"0.0.0.0/0", "8.8.8.8", true},
        {"255.255.255.255/31", "255.255.255.254", true},
    };
    const Case notRules[] = {
        {"127.0.0.0/", "8.8.8.8", false},
        {"127...1", "127.0.0.1", false},
        {"...", "0.0.0.0", false},
        {"127.0.0", "127.0.0.0", false},
        {"127.0.0.1.5", "127.0.0.1", false},
        {"0127.0.0.1", "127.0.0.1", false},
        {"127.0.0.256", "127.0.0.0", false},
        {"4294967423.0.0.1", "127.0.0.1", false},
        {"127.0.0.1/33", "127.0.0.1", false},
        {"127.0.0.1/032", "127.0.0.1", false},
        {"127.0.0.1/8/8", "127.0.0.1", false},
        {"127.0.0.1/x", "127.0.0.1", false},
        {"127.0.0.1/-1", "127.0.0.1", false},
        {"/8", "127.0.0.1", false},
        {"+127.0.0.1", "127.0.0.1", false},
        {" 127.0.0.1", "127.0.0.1", false},
        {"127.0.0.1 ", "127.0.0.1", false},
        {"0x7f.0.0.1", "127.0.0.1", false},
        {"", "0.0.0.0", false},
    };
    const auto check = [](const Case& c, bool isRule) {
        EXPECT_EQ(isFilterRule(c.rule), isRule) << '"' << c.rule << '"';
        CIpFilter allow;
        allow.mode = CIpFilter::kAllowDenyLists;
        allow.allowCount = 1;
        allow.allowList[0] = c.rule;
        EXPECT_EQ(allow.checkAddress(c.peer) != 0, c.matches) << c.rule << " allows " << c.peer;
        CIpFilter deny = allow;
        deny.allowList[0] = "0.0.0.0/0";
        deny.denyCount = 1;
        deny.denyList[0] = c.rule;
        EXPECT_EQ(deny.checkAddress(c.peer) == 0, c.matches) << c.rule << " denies " << c.peer;
    };
    for (const Case& c : rules) {
        check(c, true);
    }
    for (const Case& c : notRules) {
        check(c, false);
    }
}

}  // namespace
