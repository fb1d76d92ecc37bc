#include "address/filter_rule.h"

#include <array>

#include "address/address_text.h"

namespace {

// 1 to maxDigits decimal digits up to most, taken from the front of text.
bool takeNumber(std::string_view& text, std::size_t maxDigits, unsigned most, unsigned& value) {
    std::size_t digits = 0;
    value = 0;
    while (digits < text.size() && digits < maxDigits && text[digits] >= '0' &&
           text[digits] <= '9') {
        value = value * 10 + static_cast<unsigned>(text[digits] - '0');
        ++digits;
    }
    text.remove_prefix(digits);
    return digits > 0 && value <= most;
}

bool takeChar(std::string_view& text, char wanted) {
    if (text.empty() || text.front() != wanted) {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

}  // namespace

bool parseIpv4Rule(std::string_view text, std::uint32_t& network, int& prefixLength) {
    std::uint32_t parsed = 0;
    for (int part = 0; part < 4; ++part) {
        unsigned value = 0;
        if ((part > 0 && !takeChar(text, '.')) || !takeNumber(text, 3, 255, value)) {
            return false;
        }
        parsed = (parsed << 8) | value;
    }
    unsigned prefix = 32;
    if (takeChar(text, '/') && !takeNumber(text, 2, 32, prefix)) {
        return false;
    }
    if (!text.empty()) {
        return false;
    }
    network = parsed;
    prefixLength = static_cast<int>(prefix);
    return true;
}

bool parseMappedIpv4Rule(const std::string& text, std::uint32_t& network, int& prefixLength) {
    Ipv6Bytes bytes{};
    int prefix = 128;
    std::string ignored;
    // The mapped range is ::ffff:0:0/96: a shorter prefix reaches past IPv4 and stays IPv6.
    if (parseAddressMask6(text, bytes, prefix) == 0 || prefix < 96 ||
        mappedIpv4Address(bytes, ignored) == 0) {
        return false;
    }
    network = (std::uint32_t{bytes[12]} << 24) | (std::uint32_t{bytes[13]} << 16) |
              (std::uint32_t{bytes[14]} << 8) | bytes[15];
    prefixLength = prefix - 96;
    return true;
}

int matchIpv4Rule(const std::string& rule, const std::string& address) {
    std::uint32_t network = 0;
    int prefix = 32;
    std::array<unsigned char, 4> parts{};
    int ignored = 0;
    if ((!parseIpv4Rule(rule, network, prefix) && !parseMappedIpv4Rule(rule, network, prefix)) ||
        parseAddressMask(address, parts, ignored) == 0) {
        return 0;
    }
    const std::uint32_t value = (std::uint32_t{parts[0]} << 24) | (std::uint32_t{parts[1]} << 16) |
                                (std::uint32_t{parts[2]} << 8) | parts[3];
    const std::uint32_t mask = kPrefixMasks[static_cast<std::size_t>(prefix)];
    return (network & mask) == (value & mask) ? 1 : 0;
}

bool isFilterRule(const std::string& text) {
    std::uint32_t network = 0;
    int prefix = 0;
    Ipv6Bytes bytes{};
    return parseIpv4Rule(text, network, prefix) || parseAddressMask6(text, bytes, prefix) != 0;
}
