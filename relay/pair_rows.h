#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class CTcpRepeater;
class UdpRepeater;

// One relayed connection as plain values, copied from the repeater in one go so that the
// window formats it on its own thread without touching a stream.
struct PairRow {
    struct End {
        std::string address;
        int port = 0;
    };
    std::uint64_t serial = 0;
    End acceptPeer;
    End acceptBind;
    int acceptUsedBuffer = 0;
    End connectBind;
    End connectPeer;
    int connectUsedBuffer = 0;
    std::uint64_t bytesUp = 0;
    std::uint64_t bytesDown = 0;
    std::chrono::steady_clock::time_point acceptedAt;
};

// Every pair of the repeater in slot order. Call it where the repeater lives.
std::vector<PairRow> pairRows(CTcpRepeater& repeater);
// Every session of a UDP port, oldest first; a session holds no relay buffer (UsedBuff 0).
std::vector<PairRow> pairRows(const UdpRepeater& repeater);
