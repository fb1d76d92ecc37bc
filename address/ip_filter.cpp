#include "address/ip_filter.h"

#include "address/address_text.h"

namespace {

// A count that somebody set out of range must not walk off the array.
int boundedCount(int count) {
    if (count < 0) {
        return 0;
    }
    return count > CIpFilter::kListSize ? CIpFilter::kListSize : count;
}

bool anyRuleMatches(const std::string* rules, int count, const std::string& address) {
    for (int i = 0; i < boundedCount(count); ++i) {
        if (matchAddressMask(rules[i], address) != 0) {
            return true;
        }
    }
    return false;
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
    switch (mode) {
        case kLoopbackOnly:
            return isLoopbackAddress(peerAddress);
        case kLocalOnly:
            return isLocalAddress(peerAddress);
        case kAllowDenyLists:
            return checkAddressList(peerAddress);
        default:
            return 1;
    }
}

int CIpFilter::checkAddress(const char* peerAddress) const {
    return checkAddress(std::string(peerAddress == nullptr ? "" : peerAddress));
}

int CIpFilter::checkAddressList(const std::string& peerAddress) const {
    if (!anyRuleMatches(allowList, allowCount, peerAddress)) {
        return 0;
    }
    return anyRuleMatches(denyList, denyCount, peerAddress) ? 0 : 1;
}

int CIpFilter::checkAddressList(const char* peerAddress) const {
    return checkAddressList(std::string(peerAddress == nullptr ? "" : peerAddress));
}
