#pragma once

#include <string>

#include "address/ip_filter.h"
#include "config/forward_bounds.h"
#include "config/relay_options.h"

// Everything the relay needs for one forward, as one plain value that can be compared: made
// from a panel's section, handed to the repeater in one call, edited by the options dialog.
// The repeater keeps its own copy, so nothing in it is shared between threads.
struct ForwardConfig {
    static constexpr int kMaxNameLength = ::kMaxNameLength;
    static constexpr int kMaxTimeoutSeconds = ::kMaxTimeoutSeconds;
    static constexpr int kMaxBufferSizeKb = kMostBufferSizeKb;

    // NAME: shown beside the port, carried by the trace, the log and the status dialog.
    std::string name;
    // PROTOCOL=UDP (any case) relays datagrams; absent or anything else is TCP.
    bool udp = false;
    int listenPort = 0;
    std::string forwardHost = "127.0.0.1";
    int forwardPort = 0;
    int bufferSizeKb = kDefaultBufferSizeKb;
    // LISTENHOST without brackets; empty listens on every address.
    std::string listenHost;
    // FILTER, ALLOW and DENY.
    CIpFilter filter;
    RelayOptions relay;
    // LOG, and the file connection events go to while it is on (beside the settings file).
    bool log = false;
    std::string logPath = kConnectionLogFileName;

    bool operator==(const ForwardConfig&) const = default;
};

// "UDP" or "TCP", as the panel's title and the log name the port.
inline const char* protocolName(const ForwardConfig& config) {
    return config.udp ? "UDP" : "TCP";
}

// Whether two forwards listen on the same socket: protocol, port and listen address.
inline bool sameListener(const ForwardConfig& a, const ForwardConfig& b) {
    return a.udp == b.udp && a.listenPort == b.listenPort && a.listenHost == b.listenHost;
}
