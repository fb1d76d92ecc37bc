#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "address/ip_filter.h"
#include "config/forward_bounds.h"
#include "config/forward_config.h"
#include "config/relay_options.h"

// The options of one port panel that a user adds to its section by hand. Like BUFFERSIZE
// they are read and never written, so a save keeps their lines as they are. A value that is
// not plain decimal within its range gives the default.
struct PortOptions {
    static constexpr std::size_t kMaxRules = CIpFilter::kListSize;

    // LISTENHOST without brackets; empty listens on every address.
    std::string listenHost;
    // FILTER: 0 to 3; anything else is 0, which admits everyone.
    int filterMode = 0;
    // ALLOW and DENY: the entries in order, blanks around them removed, at most kMaxRules.
    std::vector<std::string> allow;
    std::vector<std::string> deny;
    // HALFCLOSE, CONNECTTIMEOUT, IDLETIMEOUT (seconds, at most a day) and KEEPALIVE.
    RelayOptions relay;
    // LOG
    bool log = false;
    // DESTINATIONS (well-formed entries only), BALANCE and PROXYPROTOCOL (0, 1 or 2).
    std::vector<Destination> moreDestinations;
    Balance balance = Balance::Failover;
    int proxyProtocol = 0;
};

// Reads the options from the panel's "TCP-PORT<index>" section. Lists that hold more than
// kMaxRules entries are cut, with one line on standard error for each such list; a list
// with entries that are not filter rules gets one line naming them. So do destinations that
// are no host and port, and those beyond kMostDestinations, which are left out, and a
// BALANCE or PROXYPROTOCOL that means nothing, which gives the default.
PortOptions loadPortOptions(const std::string& iniPath, int index);
