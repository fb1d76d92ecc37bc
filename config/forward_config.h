#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "address/ip_filter.h"
#include "config/forward_bounds.h"
#include "config/relay_options.h"

// One destination of a forward: a host name or address (IPv6 without brackets) and a port.
struct Destination {
    std::string host;
    int port = 0;

    bool operator==(const Destination&) const = default;
};

// How new connections pick among several destinations: always the first that answers, or
// each one starting at the next in turn.
enum class Balance : std::uint8_t { Failover, RoundRobin };

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
    // DESTINATIONS: tried after forwardHost:forwardPort, kMostDestinations in all.
    std::vector<Destination> moreDestinations;
    // BALANCE
    Balance balance = Balance::Failover;
    // PROXYPROTOCOL: 0 sends nothing of its own, 1 or 2 the PROXY header of that version
    // before the client's bytes (TCP only).
    int proxyProtocol = 0;

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

// BALANCE as the settings file holds it.
inline const char* balanceName(Balance balance) {
    return balance == Balance::RoundRobin ? "ROUNDROBIN" : "FAILOVER";
}

// forwardHost:forwardPort, then the further destinations.
inline std::vector<Destination> allDestinations(const ForwardConfig& config) {
    std::vector<Destination> all{{config.forwardHost, config.forwardPort}};
    all.insert(all.end(), config.moreDestinations.begin(), config.moreDestinations.end());
    return all;
}
