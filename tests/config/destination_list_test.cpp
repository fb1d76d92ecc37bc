#include "config/destination_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ListCase {
    std::string text;
    std::vector<Destination> destinations;
    std::vector<std::string> malformed;
};

TEST(DestinationListTest, EntriesAreReadInOrderAndMalformedOnesNamed) {
    const std::vector<ListCase> cases = {
        {"", {}, {}},
        {"10.0.0.2:80", {{"10.0.0.2", 80}}, {}},
        {" a.example:8080 , [2001:db8::1]:443,", {{"a.example", 8080}, {"2001:db8::1", 443}}, {}},
        {"host:0,host:65536,host:+80,host:,:80,host,2001:db8::1:80,[zz::1]:80,[::1]80,[::1]:1",
         {{"::1", 1}},
         {"host:0", "host:65536", "host:+80", "host:", ":80", "host", "2001:db8::1:80",
          "[zz::1]:80", "[::1]80"}},
        {"a b:80,ok:65535", {{"ok", 65535}}, {"a b:80"}},
    };
    for (const ListCase& c : cases) {
        const DestinationList list = parseDestinations(c.text, 7);
        EXPECT_EQ(list.destinations, c.destinations) << c.text;
        EXPECT_EQ(list.malformed, c.malformed) << c.text;
        EXPECT_EQ(list.dropped, 0) << c.text;
    }
}

TEST(DestinationListTest, ExtraEntriesAreCountedAndTheListWritesBackAsRead) {
    const DestinationList list = parseDestinations("a:1,b:2,[::1]:3,d:4", 3);
    EXPECT_EQ(list.destinations.size(), 3u);
    EXPECT_EQ(list.dropped, 1);
    EXPECT_EQ(joinedDestinations(list.destinations), "a:1,b:2,[::1]:3");
    EXPECT_EQ(parseDestinations(joinedDestinations(list.destinations), 3).destinations,
              list.destinations);
}

}  // namespace
