#include "app/control_protocol.h"

#include <gtest/gtest.h>

namespace {

TEST(ControlProtocol, RequestsParseOnlyInTheirOwnForm) {
    struct Case {
        const char* line;
        bool valid;
        ControlVerb verb;
        const char* forward;
    };
    const Case cases[] = {
        {"LIST", true, ControlVerb::List, ""},
        {"LIST JSON", true, ControlVerb::ListJson, ""},
        {"RELOAD", true, ControlVerb::Reload, ""},
        {"ON 8080", true, ControlVerb::On, "8080"},
        {"OFF my web", true, ControlVerb::Off, "my web"},
        {"ON", false, {}, ""},
        {"RELOAD now", false, {}, ""},
        {"LIST XML", false, {}, ""},
        {"list", false, {}, ""},
        {"", false, {}, ""},
        {"\x01\xff garbage", false, {}, ""},
    };
    for (const Case& c : cases) {
        std::string why;
        const std::optional<ControlRequest> request = parseControlRequest(c.line, why);
        ASSERT_EQ(request.has_value(), c.valid) << c.line;
        if (c.valid) {
            EXPECT_EQ(request->verb, c.verb) << c.line;
            EXPECT_EQ(request->forward, c.forward) << c.line;
            EXPECT_EQ(controlRequestLine(*request), c.line);
        } else {
            EXPECT_EQ(why.rfind("unknown command: ", 0), 0u) << why;
        }
    }
}

TEST(ControlProtocol, RepliesRoundTripAndTruncatedOnesAreNoReply) {
    const ControlReply sent{
        {"1\tTCP:80", "two\nlines"}, {"TCP:80: PORT80を開けません (err=98)"}, 1};
    const std::string text = encodeControlReply(sent);
    ControlReply back;
    ASSERT_TRUE(decodeControlReply(text, back));
    EXPECT_EQ(back.out, (std::vector<std::string>{"1\tTCP:80", "two lines"}));
    EXPECT_EQ(back.err, sent.err);
    EXPECT_EQ(back.status, 1);
    for (std::size_t cut : {std::size_t{0}, text.size() - 1, text.size() / 2}) {
        EXPECT_FALSE(decodeControlReply(text.substr(0, cut), back)) << cut;
    }
    EXPECT_FALSE(decodeControlReply("SHOWN\n", back));
}

TEST(ControlProtocol, ListingsAndTheForwardsACommandNames) {
    const std::vector<ForwardListing> forwards{
        {1, "web", false, 8080, "", "127.0.0.1:80", true, 2, 512, 4096},
        {2, "", true, 8080, "::1", "[2001:db8::1]:53", false, 0, 0, 0},
        {3, "dns \"x\"", true, 5353, "", "192.0.2.1:53", true, 1, 10, 20},
    };
    EXPECT_EQ(listingLines(forwards),
              (std::vector<std::string>{"1\tTCP:8080\tweb\tON\t127.0.0.1:80\t2\t512\t4096",
                                        "2\tUDP:8080\t-\tOFF\t[2001:db8::1]:53\t0\t0\t0",
                                        "3\tUDP:5353\tdns \"x\"\tON\t192.0.2.1:53\t1\t10\t20"}));
    EXPECT_EQ(listingJson({forwards[0], forwards[2]}),
              "{\"forwards\": [{\"panel\": 1, \"name\": \"web\", \"protocol\": \"tcp\", \"port\": "
              "8080, \"listen\": \"\", \"destination\": \"127.0.0.1:80\", \"on\": true, "
              "\"connections\": 2, \"bytes_up\": 512, \"bytes_down\": 4096}, {\"panel\": 3, "
              "\"name\": \"dns \\\"x\\\"\", \"protocol\": \"udp\", \"port\": 5353, \"listen\": "
              "\"\", \"destination\": \"192.0.2.1:53\", \"on\": true, \"connections\": 1, "
              "\"bytes_up\": 10, \"bytes_down\": 20}]}");

    struct Case {
        const char* named;
        std::vector<std::size_t> matches;
    };
    const Case cases[] = {
        {"8080", {0, 1}},   {"tcp:8080", {0}}, {"UDP:8080", {1}}, {"udp:80", {}},  {"web", {0}},
        {"dns \"x\"", {2}}, {"5353", {2}},     {"99999", {}},     {"tcp:web", {}}, {"", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(matchForwards(c.named, forwards), c.matches) << c.named;
    }
}

}  // namespace
