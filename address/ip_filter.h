#pragma once

#include <string>

// The address filter that a port repeater consults for every accepted connection.
//
// A plain value, copied wherever it is used: each repeater keeps its own copy (in its
// forward's settings), made on the window's thread and read on the relay's thread only.
// The decision depends on nothing but the members and the peer's address text.
//
// IPv6 peers: mode 1 admits ::1, mode 2 also fc00::/7 and fe80::/10, and in mode 3 only
// IPv6 rules can match them, as only IPv4 rules can match IPv4 peers. An IPv4-mapped peer
// (::ffff:a.b.c.d) is an IPv4 peer, and an IPv6 rule inside the mapped range
// (::ffff:0:0/96 and longer) is the IPv4 rule it maps. List entries are rules as filter_rule.h
// reads them; an entry that is not a rule never matches.
class CIpFilter {
  public:
    static constexpr int kListSize = 10;

    enum Mode : int {
        kAdmitAll = 0,
        kLoopbackOnly = 1,
        kLocalOnly = 2,
        kAllowDenyLists = 3,
    };

    CIpFilter() = default;
    CIpFilter(const CIpFilter& other) = default;
    // Copies all entries, those beyond the counts too, so a copy is indistinguishable.
    CIpFilter& operator=(const CIpFilter& other);
    virtual ~CIpFilter() = default;

    // Non-zero admits the peer, 0 refuses it. Unknown modes admit everyone.
    int checkAddress(const std::string& peerAddress) const;
    int checkAddress(const char* peerAddress) const;

    // The allow/deny decision: 1 when some allow rule matches and no deny rule does.
    int checkAddressList(const std::string& peerAddress) const;
    int checkAddressList(const char* peerAddress) const;

    // Same mode and the same entries in use: the two decide every peer alike.
    bool operator==(const CIpFilter& other) const;

    int mode = kAdmitAll;
    // Leading entries of each list in use; whoever sets them keeps them within 0..10.
    int allowCount = 0;
    int denyCount = 0;
    std::string allowList[kListSize];
    std::string denyList[kListSize];
};
