#pragma once

#include <memory>
#include <optional>
#include <string>

#include "config/forward_config.h"
#include "platform/socket_address.h"
#include "relay/connection_log.h"
#include "relay/destination_chooser.h"

// The settings a connection started under: the forward as it was then, its destinations
// (each with its address when it is one) and the chooser that orders them, and the log its
// events go to. New settings for a running port make a
// new generation for the connections from then on; each connection keeps the one it started
// with until it ends, so a reload never changes a connection in the middle.
// Ownership: shared by the repeater (its newest) and every connection made under it; owns
// its share of the log and of the chooser, which a later generation with the same log
// settings, or the same destinations and balance, shares too.
// Thread: the relay's.
struct ForwardGeneration {
    struct Target {
        Destination destination;
        std::optional<SocketAddress> numeric;
    };
    ForwardConfig config;
    std::vector<Target> targets;
    // Remembers which destinations failed lately; connections report to the one they chose by.
    std::shared_ptr<DestinationChooser> chooser;
    std::shared_ptr<ConnectionLog> log;

    const Target& target(const DestinationPlan& plan) const {
        return targets[static_cast<std::size_t>(plan.current())];
    }
};

// The generation for config. The log of previous is kept when it would write the same lines
// to the same file, so that one file never has two writers; protocol names the log's port.
inline std::shared_ptr<const ForwardGeneration> makeGeneration(
    const ForwardConfig& config, int listenPort, const char* protocol,
    const std::shared_ptr<const ForwardGeneration>& previous = nullptr) {
    auto generation = std::make_shared<ForwardGeneration>();
    generation->config = config;
    for (const Destination& destination : allDestinations(config)) {
        if (static_cast<int>(generation->targets.size()) == kMostDestinations) {
            break;
        }
        ForwardGeneration::Target target{destination, std::nullopt};
        SocketAddress numeric;
        if (parseNumericAddress(destination.host, destination.port, numeric)) {
            target.numeric = numeric;
        }
        generation->targets.push_back(std::move(target));
    }
    const bool sameDestinations = previous != nullptr && previous->chooser != nullptr &&
                                  allDestinations(previous->config) == allDestinations(config) &&
                                  previous->config.balance == config.balance;
    generation->chooser = sameDestinations
                              ? previous->chooser
                              : std::make_shared<DestinationChooser>(
                                    static_cast<int>(generation->targets.size()), config.balance);
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
