#include "config/destination_list.h"

#include <optional>
#include <string_view>

#include "address/address_text.h"
#include "config/comma_list.h"

namespace {

constexpr int kHighestPort = 65535;

std::optional<int> portOf(std::string_view digits) {
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    int port = 0;
    for (const char c : digits) {
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > kHighestPort) {
        return std::nullopt;
    }
    return port;
}

// A name or IPv4 address: no colon, bracket, blank or control character.
bool plainHost(std::string_view host) {
    if (host.empty()) {
        return false;
    }
    for (const char c : host) {
        if (c == ':' || c == '[' || c == ']' || c == ' ' || c == '\t' ||
            static_cast<unsigned char>(c) < 0x20) {
            return false;
        }
    }
    return true;
}

std::optional<Destination> destinationOf(std::string_view entry) {
    std::string_view host;
    std::string_view port;
    if (!entry.empty() && entry.front() == '[') {
        const std::size_t close = entry.find(']');
        if (close == std::string_view::npos || close + 1 >= entry.size() ||
            entry[close + 1] != ':') {
            return std::nullopt;
        }
        host = entry.substr(1, close - 1);
        port = entry.substr(close + 2);
        Ipv6Bytes bytes{};
        if (parseAddress6(std::string(host), bytes) == 0) {
            return std::nullopt;
        }
    } else {
        const std::size_t colon = entry.rfind(':');
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        host = entry.substr(0, colon);
        port = entry.substr(colon + 1);
        if (!plainHost(host)) {
            return std::nullopt;
        }
    }
    const std::optional<int> number = portOf(port);
    if (!number) {
        return std::nullopt;
    }
    return Destination{std::string(host), *number};
}

}  // namespace

DestinationList parseDestinations(const std::string& text, int most) {
    DestinationList list;
    for (const std::string_view entry : commaListEntries(text)) {
        std::optional<Destination> destination = destinationOf(entry);
        if (!destination) {
            list.malformed.emplace_back(entry);
        } else if (static_cast<int>(list.destinations.size()) < most) {
            list.destinations.push_back(std::move(*destination));
        } else {
            ++list.dropped;
        }
    }
    return list;
}

std::string joinedDestinations(const std::vector<Destination>& destinations) {
    std::string text;
    for (const Destination& destination : destinations) {
        const bool ipv6 = destination.host.find(':') != std::string::npos;
        text += text.empty() ? "" : ",";
        text += ipv6 ? "[" + destination.host + "]" : destination.host;
        text += ":" + std::to_string(destination.port);
    }
    return text;
}

std::string namedEntries(const std::vector<std::string>& entries) {
    std::string text;
    for (const std::string& entry : entries) {
        text += (text.empty() ? "" : ", ") + entry;
    }
    return text;
}
