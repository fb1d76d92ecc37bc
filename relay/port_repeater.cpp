#include "relay/port_repeater.h"

#include "relay/tcp_repeater.h"
#include "relay/udp_repeater.h"

std::unique_ptr<PortRepeater> makeRepeater(const ForwardConfig& config) {
    std::unique_ptr<PortRepeater> repeater;
    if (config.udp) {
        repeater = std::make_unique<UdpRepeater>();
    } else {
        repeater = std::make_unique<CTcpRepeater>();
    }
    repeater->configure(config);
    return repeater;
}

void reconfigure(std::unique_ptr<PortRepeater>& repeater, const ForwardConfig& config) {
    if (repeater && repeater->config().udp == config.udp) {
        repeater->configure(config);
        return;
    }
    repeater = makeRepeater(config);
}
