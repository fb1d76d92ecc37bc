#pragma once

#include <string>

#include "address/ip_filter.h"
#include "relay/relay_options.h"
#include "settings/port_settings.h"

// The connection log's file, beside the settings file.
inline constexpr const char* kConnectionLogFileName = "TarnwickPico.log";

// Everything the relay needs for one forward, as one plain value: made from a panel's
// section, handed to the repeater in one call, edited by the options dialog. The repeater
// keeps its own copy, so nothing in it is shared between threads.
struct ForwardConfig {
    static constexpr int kMaxNameLength = 64;  // characters, not bytes
    static constexpr int kMaxTimeoutSeconds = 86400;
    // The largest relay buffer the engine takes, in KiB.
    static constexpr int kMaxBufferSizeKb = kMostBufferSizeKb;

    // NAME: shown beside the port, carried by the trace, the log and the status dialog.
    std::string name;
    // PROTOCOL=UDP (any case) relays datagrams; absent or anything else is TCP.
    bool udp = false;
    int listenPort = 0;
    std::string forwardHost = "127.0.0.1";
    int forwardPort = 0;
    int bufferSizeKb = 128;
    // LISTENHOST without brackets; empty listens on every address.
    std::string listenHost;
    // FILTER, ALLOW and DENY.
    CIpFilter filter;
    RelayOptions relay;
    // LOG: the file connection events go to; empty when the log is off.
    std::string logPath;
};

// The forward of panel index as its section holds it; missing keys take their defaults.
ForwardConfig loadForwardConfig(const std::string& iniPath, int index);

// "UDP" or "TCP", as the panel's title and the log name the port.
inline const char* protocolName(const ForwardConfig& config) {
    return config.udp ? "UDP" : "TCP";
}

// Whether the section's PROTOCOL says UDP.
bool loadForwardIsUdp(const std::string& iniPath, int index);

// NAME alone, cut to kMaxNameLength characters.
std::string loadForwardName(const std::string& iniPath, int index);

// Writes the options keys whose values differ between before (as loaded) and after; a key
// that is not written keeps its bytes, so an unchanged value never adds or rewrites a line.
// The keys of the forward-settings dialog (PORT, FORWARDHOST, FORWARDPORT) are not written.
void saveForwardOptions(const std::string& iniPath, int index, const ForwardConfig& before,
                        const ForwardConfig& after);

// The rules of a filter list joined by commas, as ALLOW and DENY hold them.
std::string joinedRules(const CIpFilter& filter, bool allow);
