#include "address/ip_filter.h"

#include "address/address_text.h"
#include "address/filter_rule.h"

namespace {

// A count that somebody set out of range must not walk off the array.
int boundedCount(int count) {
    if (count < 0) {
        return 0;
    }
    return count > CIpFilter::kListSize ? CIpFilter::kListSize : count;
}

using RuleMatch = int (*)(const std::string&, const std::string&);

bool anyRuleMatches(const std::string* rules, int count, const std::string& address,
                    RuleMatch match) {
    for (int i = 0; i < boundedCount(count); ++i) {
        if (match(rules[i], address) != 0) {
            return true;
        }
    }
    return false;
}

// An IPv4 client is any text that is not an IPv6 address, so every IPv4 check sees the
// text as the repeater gave it; an IPv4-mapped client is judged as its dotted address.
struct Peer {
    std::string ipv4;
    Ipv6Bytes ipv6{};
    bool isIpv6 = false;
};

Peer classify(const std::string& text) {
    Peer peer;
    if (parseAddress6(text, peer.ipv6) == 0) {
        peer.ipv4 = text;
    } else if (mappedIpv4Address(peer.ipv6, peer.ipv4) == 0) {
        peer.isIpv6 = true;
    }
    return peer;
}

}  // namespace

CIpFilter& CIpFilter::operator=(const CIpFilter& other) {
    if (this == &other) {
        return *this;
    }
    mode = other.mode;
    allowCount = other.allowCount;
    denyCount = other.denyCount;
    for (int i = 0; i < kListSize; ++i) {
        allowList[i] = other.allowList[i];
        denyList[i] = other.denyList[i];
    }
    return *this;
}

int CIpFilter::checkAddress(const std::string& peerAddress) const {
    // Without a filter every client passes, and its address need not even be read.
    if (mode == kAllowDenyLists) {
        return checkAddressList(peerAddress);
    }
    if (mode != kLoopbackOnly && mode != kLocalOnly) {
        return 1;
    }
    const Peer peer = classify(peerAddress);
    if (mode == kLoopbackOnly) {
        return peer.isIpv6 ? isLoopbackAddress6(peer.ipv6) : isLoopbackAddress(peer.ipv4);
    }
    return peer.isIpv6 ? isLocalAddress6(peer.ipv6) : isLocalAddress(peer.ipv4);
}

int CIpFilter::checkAddress(const char* peerAddress) const {
    return checkAddress(std::string(peerAddress == nullptr ? "" : peerAddress));
}

int CIpFilter::checkAddressList(const std::string& peerAddress) const {
    const Peer peer = classify(peerAddress);
    // Each family's rules parse only as that family, so an entry never crosses over.
    const RuleMatch match = peer.isIpv6 ? matchAddressMask6 : matchIpv4Rule;
    const std::string& address = peer.isIpv6 ? peerAddress : peer.ipv4;
    if (!anyRuleMatches(allowList, allowCount, address, match)) {
        return 0;
    }
    return anyRuleMatches(denyList, denyCount, address, match) ? 0 : 1;
}

int CIpFilter::checkAddressList(const char* peerAddress) const {
    return checkAddressList(std::string(peerAddress == nullptr ? "" : peerAddress));
}

bool CIpFilter::operator==(const CIpFilter& other) const {
    const auto sameList = [](const std::string* a, int aCount, const std::string* b, int bCount) {
        const int count = boundedCount(aCount);
        if (count != boundedCount(bCount)) {
            return false;
        }
        for (int i = 0; i < count; ++i) {
            if (a[i] != b[i]) {
                return false;
            }
        }
        return true;
    };
    return mode == other.mode &&
           sameList(allowList, allowCount, other.allowList, other.allowCount) &&
           sameList(denyList, denyCount, other.denyList, other.denyCount);
}
