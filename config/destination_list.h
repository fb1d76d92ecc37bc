#pragma once

#include <string>
#include <vector>

#include "config/forward_config.h"

// DESTINATIONS as text: "host:port" entries joined by commas, IPv6 addresses in brackets
// ("[2001:db8::1]:80"), blanks around an entry ignored.
struct DestinationList {
    std::vector<Destination> destinations;
    // Entries that are no host and port, as written; they are left out.
    std::vector<std::string> malformed;
    // Well-formed entries beyond the most a forward takes, also left out.
    int dropped = 0;
};

// Reads the list; at most most entries are kept, in order.
DestinationList parseDestinations(const std::string& text, int most);

// The list as DESTINATIONS holds it.
std::string joinedDestinations(const std::vector<Destination>& destinations);

// The entries joined by ", " for a message.
std::string namedEntries(const std::vector<std::string>& entries);
