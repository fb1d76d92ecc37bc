#pragma once

#include <string>

#include "config/forward_config.h"

// The forward tests, fuzzers and bench tools hand a repeater: listening on loopback (port 0
// takes an ephemeral one), relaying to host and destinationPort; anything else is set on
// the value it returns.
inline ForwardConfig testForward(int listenPort, const std::string& host, int destinationPort) {
    ForwardConfig config;
    config.listenPort = listenPort;
    config.listenHost = "127.0.0.1";
    config.forwardHost = host;
    config.forwardPort = destinationPort;
    return config;
}
