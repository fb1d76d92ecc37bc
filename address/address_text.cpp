#include "address/address_text.h"

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <string_view>

namespace {

std::string_view viewOf(const char* text) {
    return text == nullptr ? std::string_view() : std::string_view(text);
}

bool allDigits(std::string_view text) {
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// Decimal value of an all-digit text; the empty text is 0 and values beyond a signed
// 32-bit integer stick at its largest value instead of wrapping.
int decimalValue(std::string_view digits) {
    long long value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > INT_MAX) {
            return INT_MAX;
        }
    }
    return static_cast<int>(value);
}

// The four-part rule: three dots split the text into four all-digit parts of at most 255
// each. A fourth dot stays in the last part, which then fails the digit check.
bool parseFourParts(std::string_view text, std::array<unsigned char, 4>& parts) {
    if (text.empty()) {
        return false;
    }
    const std::size_t dot1 = text.find('.');
    if (dot1 == std::string_view::npos) {
        return false;
    }
    const std::size_t dot2 = text.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos) {
        return false;
    }
    const std::size_t dot3 = text.find('.', dot2 + 1);
    if (dot3 == std::string_view::npos) {
        return false;
    }
    const std::array<std::string_view, 4> texts = {
        text.substr(0, dot1), text.substr(dot1 + 1, dot2 - dot1 - 1),
        text.substr(dot2 + 1, dot3 - dot2 - 1), text.substr(dot3 + 1)};
    std::array<unsigned char, 4> values{};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (!allDigits(texts[i])) {
            return false;
        }
        const int value = decimalValue(texts[i]);
        if (value > 255) {
            return false;
        }
        values[i] = static_cast<unsigned char>(value);
    }
    parts = values;
    return true;
}

std::uint32_t addressValue(const std::array<unsigned char, 4>& parts) {
    return (std::uint32_t{parts[0]} << 24) | (std::uint32_t{parts[1]} << 16) |
           (std::uint32_t{parts[2]} << 8) | std::uint32_t{parts[3]};
}

constexpr std::array<std::uint32_t, 33> makePrefixMasks() {
    std::array<std::uint32_t, 33> masks{};
    for (std::size_t n = 1; n < masks.size(); ++n) {
        masks[n] = 0xFFFFFFFFu << (32 - n);
    }
    return masks;
}

int isLoopbackView(std::string_view text) {
    std::array<unsigned char, 4> p{};
    return parseFourParts(text, p) && p[0] == 127 && p[1] == 0 && p[2] == 0 && p[3] == 1 ? 1 : 0;
}

int isLocalView(std::string_view text) {
    std::array<unsigned char, 4> p{};
    if (!parseFourParts(text, p)) {
        return 0;
    }
    const bool local = p[0] == 10 || (p[0] == 172 && p[1] >= 16 && p[1] <= 31) ||
                       (p[0] == 192 && p[1] == 168) || (p[0] == 192 && p[1] == 0 && p[2] == 2) ||
                       p[0] == 127;
    return local ? 1 : 0;
}

int parseAddressMaskView(std::string_view text, std::array<unsigned char, 4>& parts,
                         int& prefixLength) {
    parts = {0, 0, 0, 0};
    prefixLength = 32;

    std::string_view addressPart = text;
    std::string_view prefixPart;
    bool hasPrefix = false;
    const std::size_t slash = text.find('/');
    if (slash != std::string_view::npos) {
        addressPart = text.substr(0, slash);
        prefixPart = text.substr(slash + 1);
        hasPrefix = true;
    }

    std::array<unsigned char, 4> values{};
    if (!parseFourParts(addressPart, values)) {
        return 0;
    }
    int length = 32;
    if (hasPrefix) {
        if (!allDigits(prefixPart)) {
            return 0;
        }
        length = decimalValue(prefixPart);
        if (length > 32) {
            return 0;
        }
    }
    parts = values;
    prefixLength = length;
    return 1;
}

int matchAddressMaskView(std::string_view rule, std::string_view address) {
    std::array<unsigned char, 4> ruleParts{};
    int ruleLength = 32;
    if (parseAddressMaskView(rule, ruleParts, ruleLength) == 0) {
        return 0;
    }
    std::array<unsigned char, 4> addressParts{};
    int ignoredLength = 32;
    if (parseAddressMaskView(address, addressParts, ignoredLength) == 0) {
        return 0;
    }
    const std::uint32_t mask = kPrefixMasks[static_cast<std::size_t>(ruleLength)];
    return (addressValue(ruleParts) & mask) == (addressValue(addressParts) & mask) ? 1 : 0;
}

}  // namespace

constinit const std::array<std::uint32_t, 33> kPrefixMasks = makePrefixMasks();

int isNumberText(const std::string& text) {
    return allDigits(text) ? 1 : 0;
}
int isNumberText(const char* text) {
    return allDigits(viewOf(text)) ? 1 : 0;
}

int isLoopbackAddress(const std::string& text) {
    return isLoopbackView(text);
}
int isLoopbackAddress(const char* text) {
    return isLoopbackView(viewOf(text));
}

int isLocalAddress(const std::string& text) {
    return isLocalView(text);
}
int isLocalAddress(const char* text) {
    return isLocalView(viewOf(text));
}

int parseAddressMask(const std::string& text, std::array<unsigned char, 4>& parts,
                     int& prefixLength) {
    return parseAddressMaskView(text, parts, prefixLength);
}

int parseAddressMask(const char* text, unsigned char parts[4], int* prefixLength) {
    std::array<unsigned char, 4> values{};
    int length = 32;
    const int result = parseAddressMaskView(viewOf(text), values, length);
    if (parts != nullptr) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            parts[i] = values[i];
        }
    }
    if (prefixLength != nullptr) {
        *prefixLength = length;
    }
    return result;
}

int matchAddressMask(const std::string& rule, const std::string& address) {
    return matchAddressMaskView(rule, address);
}

int matchAddressMask(const char* rule, const char* address) {
    return matchAddressMaskView(viewOf(rule), viewOf(address));
}

namespace {

// The address inside optional brackets; false for a lone or unmatched bracket.
bool unbracketed(std::string_view text, std::string_view& address) {
    const bool opens = !text.empty() && text.front() == '[';
    const bool closes = !text.empty() && text.back() == ']';
    if (opens != closes || (opens && text.size() < 2)) {
        return false;
    }
    address = opens ? text.substr(1, text.size() - 2) : text;
    return true;
}

bool parseBareAddress6(std::string_view text, Ipv6Bytes& bytes) {
    std::string_view address;
    // A zero byte would end the text early for the system's parser.
    if (!unbracketed(text, address) || address.find('\0') != std::string_view::npos) {
        return false;
    }
    const std::string terminated(address);
    return inet_pton(AF_INET6, terminated.c_str(), bytes.data()) == 1;
}

bool samePrefix6(const Ipv6Bytes& a, const Ipv6Bytes& b, int bits) {
    const auto whole = static_cast<std::size_t>(bits / 8);
    if (!std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(whole), b.begin())) {
        return false;
    }
    const int rest = bits % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<unsigned char>(0xFFu << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

int parseAddress6(const std::string& text, Ipv6Bytes& bytes) {
    Ipv6Bytes value{};
    const bool ok = parseBareAddress6(text, value);
    bytes = ok ? value : Ipv6Bytes{};
    return ok ? 1 : 0;
}

int parseAddressMask6(const std::string& text, Ipv6Bytes& bytes, int& prefixLength) {
    bytes = {};
    prefixLength = 128;
    const std::string_view whole(text);
    const std::size_t slash = whole.rfind('/');
    int length = 128;
    if (slash != std::string_view::npos) {
        const std::string_view digits = whole.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 || !allDigits(digits)) {
            return 0;
        }
        length = decimalValue(digits);
        if (length > 128) {
            return 0;
        }
    }
    Ipv6Bytes value{};
    if (!parseBareAddress6(whole.substr(0, slash), value)) {
        return 0;
    }
    bytes = value;
    prefixLength = length;
    return 1;
}

int matchAddressMask6(const std::string& rule, const std::string& address) {
    Ipv6Bytes ruleBytes{};
    int length = 128;
    Ipv6Bytes addressBytes{};
    if (parseAddressMask6(rule, ruleBytes, length) == 0 ||
        !parseBareAddress6(address, addressBytes)) {
        return 0;
    }
    return samePrefix6(ruleBytes, addressBytes, length) ? 1 : 0;
}

int mappedIpv4Address(const Ipv6Bytes& bytes, std::string& ipv4) {
    constexpr Ipv6Bytes kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (!samePrefix6(bytes, kMappedPrefix, 96)) {
        return 0;
    }
    ipv4 = std::to_string(bytes[12]) + '.' + std::to_string(bytes[13]) + '.' +
           std::to_string(bytes[14]) + '.' + std::to_string(bytes[15]);
    return 1;
}

int isLoopbackAddress6(const Ipv6Bytes& bytes) {
    constexpr Ipv6Bytes kLoopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return bytes == kLoopback ? 1 : 0;
}

int isLocalAddress6(const Ipv6Bytes& bytes) {
    constexpr Ipv6Bytes kUniqueLocal = {0xFC};
    constexpr Ipv6Bytes kLinkLocal = {0xFE, 0x80};
    const bool local = samePrefix6(bytes, kUniqueLocal, 7) || samePrefix6(bytes, kLinkLocal, 10);
    return local || isLoopbackAddress6(bytes) != 0 ? 1 : 0;
}
