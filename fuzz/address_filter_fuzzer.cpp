// Address texts and the IP filter against a reference of our own.
//
// Input: five bytes, then lines. Bytes 0 and 1 give the allow and deny counts (a little
// outside 0..10 on both sides, since the counts are plain public members); byte 4 says how
// many of the rule lines are allow rules, the rest are deny rules; bytes 2 and 3 give the
// slot where each list's rules start, wrapping round, so that one rule can sit in any slot
// and the slots left over stay empty. The first line is the peer address. Every filter mode,
// known or not, is checked for that peer, and every pair of lines is tried as rule and address.
//
// IPv6: the system's own parser (inet_pton) is the reference for the address itself; brackets,
// prefixes and matching are checked against the code here. Invariants: no text is both an
// IPv4 and an IPv6 rule; an IPv4-mapped peer is judged exactly as its dotted address; an
// IPv6 peer is matched by IPv6 rules only and judged the same with or without brackets; every
// other peer text is judged as the IPv4 filter judges it, where a rule in the IPv4-mapped
// range (::ffff:0:0/96 or longer) counts as the IPv4 rule it maps. The filter's IPv4 rules are the
// strict subset of the looser reading (1 to 3 digits per part, 1 or 2 after a "/"): a text
// outside it matches no one, and one inside it matches as the looser reading says.

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "address/address_text.h"
#include "address/filter_rule.h"
#include "address/ip_filter.h"

namespace {

void require(bool condition, const char* what, std::string_view a, std::string_view b = {}) {
    if (condition) {
        return;
    }
    std::fprintf(stderr, "address_filter_fuzzer: %s\n  \"%.*s\"\n  \"%.*s\"\n", what,
                 static_cast<int>(a.size()), a.data(), static_cast<int>(b.size()), b.data());
    std::abort();
}

struct Parsed {
    bool ok = false;
    std::array<unsigned, 4> parts = {0, 0, 0, 0};
    int prefix = 32;
};

// One pass over the characters: digits feed the current field, three dots move through the
// four address fields and one slash to the prefix. Values saturate well above every limit,
// so long runs of digits cannot wrap into range.
Parsed referenceParse(std::string_view text) {
    constexpr unsigned kSaturated = 1000;
    std::array<unsigned, 5> fields = {0, 0, 0, 0, 0};
    std::size_t field = 0;
    bool slash = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            fields[field] =
                std::min(fields[field] * 10 + static_cast<unsigned>(c - '0'), kSaturated);
        } else if (c == '.' && !slash && field < 3) {
            ++field;
        } else if (c == '/' && !slash && field == 3) {
            slash = true;
            field = 4;
        } else {
            return {};
        }
    }
    if (field < 3) {
        return {};
    }
    Parsed result;
    for (std::size_t i = 0; i < 4; ++i) {
        if (fields[i] > 255) {
            return {};
        }
        result.parts[i] = fields[i];
    }
    if (slash) {
        if (fields[4] > 32) {
            return {};
        }
        result.prefix = static_cast<int>(fields[4]);
    }
    result.ok = true;
    return result;
}

// Bit i of the address, counted from the top.
unsigned bitAt(const std::array<unsigned, 4>& parts, int i) {
    return (parts[static_cast<std::size_t>(i / 8)] >> (7 - i % 8)) & 1U;
}

bool samePrefix(const std::array<unsigned, 4>& a, const std::array<unsigned, 4>& b, int bits) {
    for (int i = 0; i < bits; ++i) {
        if (bitAt(a, i) != bitAt(b, i)) {
            return false;
        }
    }
    return true;
}

bool referenceMatch(std::string_view rule, std::string_view address) {
    const Parsed r = referenceParse(rule);
    const Parsed a = referenceParse(address);
    return r.ok && a.ok && samePrefix(r.parts, a.parts, r.prefix);
}

// The shape of a filter rule: every field of 1 to 3 digits, the prefix of 1 or 2; whether the
// fields and separators are in their places is left to referenceParse.
bool strictShape(std::string_view text) {
    std::size_t digits = 0;
    bool slash = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            if (++digits > (slash ? 2U : 3U)) {
                return false;
            }
            continue;
        }
        if (digits == 0) {
            return false;
        }
        digits = 0;
        slash = slash || c == '/';
    }
    return digits > 0;
}

Parsed referenceRule(std::string_view text) {
    return strictShape(text) ? referenceParse(text) : Parsed{};
}

bool referenceRuleMatch(std::string_view rule, std::string_view address) {
    const Parsed r = referenceRule(rule);
    const Parsed a = referenceParse(address);
    return r.ok && a.ok && samePrefix(r.parts, a.parts, r.prefix);
}

// A bare four-part address, without any prefix.
Parsed referencePlainAddress(std::string_view text) {
    return text.find('/') == std::string_view::npos ? referenceParse(text) : Parsed{};
}

bool referenceLoopback(std::string_view text) {
    const Parsed p = referencePlainAddress(text);
    return p.ok && p.parts == std::array<unsigned, 4>{127, 0, 0, 1};
}

bool referenceLocal(std::string_view text) {
    const Parsed p = referencePlainAddress(text);
    if (!p.ok) {
        return false;
    }
    struct Net {
        std::array<unsigned, 4> parts;
        int bits;
    };
    constexpr std::array<Net, 5> kNets = {{{{10, 0, 0, 0}, 8},
                                           {{172, 16, 0, 0}, 12},
                                           {{192, 168, 0, 0}, 16},
                                           {{192, 0, 2, 0}, 24},
                                           {{127, 0, 0, 0}, 8}}};
    return std::any_of(kNets.begin(), kNets.end(),
                       [&](const Net& net) { return samePrefix(net.parts, p.parts, net.bits); });
}

struct Parsed6 {
    bool ok = false;
    Ipv6Bytes bytes{};
    int prefix = 128;
};

Parsed6 referencePlainAddress6(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    Parsed6 result;
    if (text.find('\0') == std::string_view::npos) {
        result.ok = inet_pton(AF_INET6, std::string(text).c_str(), result.bytes.data()) == 1;
    }
    return result.ok ? result : Parsed6{};
}

Parsed6 referenceParse6(std::string_view text) {
    const std::size_t slash = text.find('/');
    Parsed6 result = referencePlainAddress6(text.substr(0, slash));
    if (!result.ok || slash == std::string_view::npos) {
        return result;
    }
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos ||
        std::stoi(std::string(digits)) > 128) {
        return {};
    }
    result.prefix = std::stoi(std::string(digits));
    return result;
}

unsigned bitAt6(const Ipv6Bytes& bytes, int i) {
    return (bytes[static_cast<std::size_t>(i / 8)] >> (7 - i % 8)) & 1U;
}

bool samePrefix6(const Ipv6Bytes& a, const Ipv6Bytes& b, int bits) {
    for (int i = 0; i < bits; ++i) {
        if (bitAt6(a, i) != bitAt6(b, i)) {
            return false;
        }
    }
    return true;
}

bool referenceMatch6(std::string_view rule, std::string_view address) {
    const Parsed6 r = referenceParse6(rule);
    const Parsed6 a = referencePlainAddress6(address);
    return r.ok && a.ok && samePrefix6(r.bytes, a.bytes, r.prefix);
}

bool isMapped(const Ipv6Bytes& bytes) {
    constexpr Ipv6Bytes kMapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return samePrefix6(bytes, kMapped, 96);
}

// A rule inside the IPv4-mapped range (::ffff:0:0/96 or longer) judges an IPv4 peer as the
// IPv4 rule it maps: its last 32 bits under the prefix beyond the 96.
bool referenceMappedRuleMatch(std::string_view rule, std::string_view address) {
    const Parsed6 r = referenceParse6(rule);
    const Parsed a = referenceParse(address);
    if (!r.ok || r.prefix < 96 || !isMapped(r.bytes) || !a.ok) {
        return false;
    }
    const std::array<unsigned, 4> parts = {r.bytes[12], r.bytes[13], r.bytes[14], r.bytes[15]};
    return samePrefix(parts, a.parts, r.prefix - 96);
}

bool referenceLocal6(const Ipv6Bytes& bytes) {
    constexpr Ipv6Bytes kLoopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    constexpr Ipv6Bytes kUniqueLocal = {0xFC};
    constexpr Ipv6Bytes kLinkLocal = {0xFE, 0x80};
    return bytes == kLoopback || samePrefix6(bytes, kUniqueLocal, 7) ||
           samePrefix6(bytes, kLinkLocal, 10);
}

std::string text6(const Ipv6Bytes& bytes) {
    std::array<char, INET6_ADDRSTRLEN> text{};
    inet_ntop(AF_INET6, bytes.data(), text.data(), text.size());
    return text.data();
}

// What a C caller sees of a text: everything up to its first zero byte.
std::string_view asCText(const std::string& text) {
    return {text.c_str()};
}

void checkNumberText(const std::string& text) {
    const auto digitsOnly = [](std::string_view t) {
        return t.find_first_not_of("0123456789") == std::string_view::npos;
    };
    require(isNumberText(text) == (digitsOnly(text) ? 1 : 0), "isNumberText", text);
    require(isNumberText(text.c_str()) == (digitsOnly(asCText(text)) ? 1 : 0),
            "isNumberText (C text)", text);
}

void checkParse(const std::string& text) {
    const Parsed expected = referenceParse(text);
    std::array<unsigned char, 4> parts = {7, 7, 7, 7};
    int prefix = -1;
    require(parseAddressMask(text, parts, prefix) == (expected.ok ? 1 : 0), "parse result", text);
    for (std::size_t i = 0; i < 4; ++i) {
        require(parts[i] == expected.parts[i], "parsed part", text);
    }
    require(prefix == expected.prefix, "parsed prefix", text);

    const Parsed expectedC = referenceParse(asCText(text));
    unsigned char rawParts[4] = {7, 7, 7, 7};
    int rawPrefix = -1;
    require(parseAddressMask(text.c_str(), rawParts, &rawPrefix) == (expectedC.ok ? 1 : 0),
            "parse result (C text)", text);
    for (std::size_t i = 0; i < 4; ++i) {
        require(rawParts[i] == expectedC.parts[i], "parsed part (C text)", text);
    }
    require(rawPrefix == expectedC.prefix, "parsed prefix (C text)", text);
    require(parseAddressMask(text.c_str(), nullptr, nullptr) == (expectedC.ok ? 1 : 0),
            "parse without outputs", text);

    require(isLoopbackAddress(text) == (referenceLoopback(text) ? 1 : 0), "loopback", text);
    require(isLoopbackAddress(text.c_str()) == (referenceLoopback(asCText(text)) ? 1 : 0),
            "loopback (C text)", text);
    require(isLocalAddress(text) == (referenceLocal(text) ? 1 : 0), "local", text);
    require(isLocalAddress(text.c_str()) == (referenceLocal(asCText(text)) ? 1 : 0),
            "local (C text)", text);
}

// A null C text reads as the empty text.
void checkNullTexts(const std::string& text) {
    require(isNumberText(static_cast<const char*>(nullptr)) == 1, "null number text", {});
    require(isLoopbackAddress(static_cast<const char*>(nullptr)) == 0, "null loopback", {});
    require(isLocalAddress(static_cast<const char*>(nullptr)) == 0, "null local", {});
    unsigned char parts[4] = {7, 7, 7, 7};
    int prefix = -1;
    require(parseAddressMask(nullptr, parts, &prefix) == 0 && parts[0] == 0 && parts[3] == 0 &&
                prefix == 32,
            "null parse", {});
    require(matchAddressMask(nullptr, text.c_str()) == 0, "null rule", text);
    require(matchAddressMask(text.c_str(), nullptr) == 0, "null address", text);
    CIpFilter filter;
    filter.mode = CIpFilter::kLocalOnly;
    require(filter.checkAddress(static_cast<const char*>(nullptr)) == 0, "null peer", {});
}

void checkParse6(const std::string& text) {
    const Parsed6 expected = referenceParse6(text);
    Ipv6Bytes bytes{};
    bytes.fill(7);
    int prefix = -1;
    require(parseAddressMask6(text, bytes, prefix) == (expected.ok ? 1 : 0), "parse6 result", text);
    require(bytes == expected.bytes && prefix == expected.prefix, "parse6 outputs", text);
    require(!(expected.ok && referenceParse(text).ok), "IPv4 and IPv6 rule at once", text);
    require(isFilterRule(text) == (expected.ok || referenceRule(text).ok), "filter rule", text);
    const Parsed6 plain = referencePlainAddress6(text);
    require(parseAddress6(text, bytes) == (plain.ok ? 1 : 0) && bytes == plain.bytes,
            "parse6 of a bare address", text);
}

void checkMatch(const std::string& rule, const std::string& address) {
    require(matchAddressMask(rule, address) == (referenceMatch(rule, address) ? 1 : 0), "match",
            rule, address);
    require(matchAddressMask6(rule, address) == (referenceMatch6(rule, address) ? 1 : 0), "match6",
            rule, address);
    require(matchAddressMask(rule.c_str(), address.c_str()) ==
                (referenceMatch(asCText(rule), asCText(address)) ? 1 : 0),
            "match (C text)", rule, address);
}

std::string dotted(const std::array<unsigned, 4>& parts) {
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
           std::to_string(parts[2]) + "." + std::to_string(parts[3]);
}

// Random texts seldom land next to a rule's boundary, so for every rule that parses the
// addresses on both sides of it are tried too: the last bit that must agree flipped, and
// the first bit that may differ flipped. They are kept as further peers for the filter.
void checkBoundaries(const std::string& rule, std::vector<std::string>& peers) {
    const Parsed parsed = referenceParse(rule);
    if (!parsed.ok) {
        return;
    }
    for (const int bit : {parsed.prefix - 1, parsed.prefix}) {
        if (bit < 0 || bit > 31) {
            continue;
        }
        std::array<unsigned, 4> parts = parsed.parts;
        parts[static_cast<std::size_t>(bit / 8)] ^= 1U << (7 - bit % 8);
        peers.push_back(dotted(parts));
        checkParse(peers.back());
        checkMatch(rule, peers.back());
    }
    peers.push_back(dotted(parsed.parts));
    checkMatch(rule, peers.back());
}

// The same for IPv6 rules; the addresses are kept as further peers for the filter, which
// brings the edges of the local networks within reach of rules such as fe80::/10.
void checkBoundaries6(const std::string& rule, std::vector<std::string>& peers) {
    const Parsed6 parsed = referenceParse6(rule);
    if (!parsed.ok) {
        return;
    }
    for (const int bit : {parsed.prefix - 1, parsed.prefix}) {
        if (bit < 0 || bit > 127) {
            continue;
        }
        Ipv6Bytes bytes = parsed.bytes;
        bytes[static_cast<std::size_t>(bit / 8)] ^= static_cast<unsigned char>(1U << (7 - bit % 8));
        peers.push_back(text6(bytes));
        checkMatch(rule, peers.back());
    }
    peers.push_back(text6(parsed.bytes));
    checkMatch(rule, peers.back());
}

int countFromByte(std::uint8_t byte) {
    return static_cast<int>(byte % 14) - 2;
}

int referenceCheck(const CIpFilter& filter, std::string_view peer) {
    const Parsed6 peer6 = referencePlainAddress6(peer);
    if (peer6.ok && isMapped(peer6.bytes)) {
        const std::array<unsigned, 4> parts = {peer6.bytes[12], peer6.bytes[13], peer6.bytes[14],
                                               peer6.bytes[15]};
        return referenceCheck(filter, dotted(parts));
    }
    const auto anyMatches = [&](const std::string* rules, int count) {
        const int used = std::clamp(count, 0, CIpFilter::kListSize);
        for (int i = 0; i < used; ++i) {
            if (peer6.ok ? referenceMatch6(rules[i], peer)
                         : referenceRuleMatch(rules[i], peer) ||
                               referenceMappedRuleMatch(rules[i], peer)) {
                return true;
            }
        }
        return false;
    };
    switch (filter.mode) {
        case CIpFilter::kLoopbackOnly:
            if (peer6.ok) {
                return peer6.bytes == Ipv6Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1} ? 1
                                                                                                : 0;
            }
            return referenceLoopback(peer) ? 1 : 0;
        case CIpFilter::kLocalOnly:
            if (peer6.ok) {
                return referenceLocal6(peer6.bytes) ? 1 : 0;
            }
            return referenceLocal(peer) ? 1 : 0;
        case CIpFilter::kAllowDenyLists:
            return anyMatches(filter.allowList, filter.allowCount) &&
                           !anyMatches(filter.denyList, filter.denyCount)
                       ? 1
                       : 0;
        default:
            return 1;
    }
}

void checkFilter(CIpFilter& filter, const std::string& peer) {
    constexpr std::array<int, 7> kModes = {-1, 0, 1, 2, 3, 4, 1 << 30};
    CIpFilter copy;
    for (const int mode : kModes) {
        filter.mode = mode;
        copy = filter;
        const int expected = referenceCheck(filter, peer);
        require((filter.checkAddress(peer) != 0) == (expected != 0), "checkAddress", peer);
        require((filter.checkAddress(peer.c_str()) != 0) ==
                    (referenceCheck(filter, asCText(peer)) != 0),
                "checkAddress (C text)", peer);
        require((copy.checkAddress(peer) != 0) == (expected != 0), "checkAddress of a copy", peer);
        if (referencePlainAddress6(peer).ok && peer.front() != '[') {
            require((filter.checkAddress("[" + peer + "]") != 0) == (expected != 0),
                    "checkAddress in brackets", peer);
        }
    }
    filter.mode = CIpFilter::kAllowDenyLists;
    const bool lists = referenceCheck(filter, peer) != 0;
    require((filter.checkAddressList(peer) != 0) == lists, "checkAddressList", peer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kHeader = 5;
    if (size < kHeader) {
        return 0;
    }
    CIpFilter filter;
    filter.allowCount = countFromByte(data[0]);
    filter.denyCount = countFromByte(data[1]);

    std::vector<std::string> lines;
    const std::string_view rest(reinterpret_cast<const char*>(data + kHeader), size - kHeader);
    constexpr std::size_t kSlots = CIpFilter::kListSize;
    std::size_t pos = 0;
    while (lines.size() < 1 + 2 * kSlots) {
        const std::size_t lf = rest.find('\n', pos);
        lines.emplace_back(rest.substr(pos, lf == std::string_view::npos ? lf : lf - pos));
        if (lf == std::string_view::npos) {
            break;
        }
        pos = lf + 1;
    }

    const std::size_t allowLines = std::min<std::size_t>(data[4] % (kSlots + 1), lines.size() - 1);
    for (std::size_t i = 0; i < allowLines; ++i) {
        filter.allowList[(data[2] + i) % kSlots] = lines[1 + i];
    }
    for (std::size_t i = 0; 1 + allowLines + i < lines.size() && i < kSlots; ++i) {
        filter.denyList[(data[3] + i) % kSlots] = lines[1 + allowLines + i];
    }

    std::vector<std::string> peers = {lines[0]};
    for (const std::string& a : lines) {
        checkNumberText(a);
        checkParse(a);
        checkBoundaries(a, peers);
        checkParse6(a);
        checkBoundaries6(a, peers);
        for (const std::string& b : lines) {
            checkMatch(a, b);
        }
    }
    for (const std::string& peer : peers) {
        checkFilter(filter, peer);
    }
    checkNullTexts(lines[0]);
    return 0;
}
