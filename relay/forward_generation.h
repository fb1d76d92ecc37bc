#pragma once

#include <memory>
#include <optional>
#include <string>

#include "config/forward_config.h"
#include "platform/socket_address.h"
#include "relay/connection_log.h"

// The settings a connection started under: the forward as it was then, its destination when
// that is an address, and the log its events go to. New settings for a running port make a
// new generation for the connections from then on; each connection keeps the one it started
// with until it ends, so a reload never changes a connection in the middle.
// Ownership: shared by the repeater (its newest) and every connection made under it; owns
// its share of the log, which a later generation with the same log settings shares too.
// Thread: the relay's.
struct ForwardGeneration {
    ForwardConfig config;
    std::optional<SocketAddress> numericDestination;
    std::shared_ptr<ConnectionLog> log;
};

// The generation for config. The log of previous is kept when it would write the same lines
// to the same file, so that one file never has two writers; protocol names the log's port.
inline std::shared_ptr<const ForwardGeneration> makeGeneration(
    const ForwardConfig& config, int listenPort, const char* protocol,
    const std::shared_ptr<const ForwardGeneration>& previous = nullptr) {
    auto generation = std::make_shared<ForwardGeneration>();
    generation->config = config;
    SocketAddress numeric;
    if (parseNumericAddress(config.forwardHost, config.forwardPort, numeric)) {
        generation->numericDestination = numeric;
    }
    if (config.log) {
        const bool sameLog = previous != nullptr && previous->log != nullptr &&
                             previous->config.logPath == config.logPath &&
                             previous->config.name == config.name;
        generation->log = sameLog ? previous->log
                                  : std::make_shared<ConnectionLog>(config.logPath, listenPort,
                                                                    config.name, protocol);
    }
    return generation;
}
