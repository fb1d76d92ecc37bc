#include "relay/pair_rows.h"

#include "relay/tcp_repeater.h"
#include "relay/udp_repeater.h"

namespace {

// Ports and sizes are shown as signed decimals, as the streams' figures always were.
PairRow::End peerOf(const CTcpSockStream& stream) {
    return {stream.getPeerAddress(), static_cast<int>(stream.getPeerPort())};
}

PairRow::End bindOf(const CTcpSockStream& stream) {
    return {stream.getBindIp(), static_cast<int>(stream.getBindPort())};
}

}  // namespace

std::vector<PairRow> pairRows(CTcpRepeater& repeater) {
    std::vector<PairRow> rows;
    int cursor = 0;
    while (const CTcpSockPair* pair = repeater.getNextPair(cursor)) {
        const CTcpSockStream& accepted = *pair->acceptSocket;
        const CTcpSockStream& outgoing = *pair->connectSocket;
        rows.push_back({pair->serial, peerOf(accepted), bindOf(accepted),
                        static_cast<int>(accepted.getMaxRemainCount()), bindOf(outgoing),
                        peerOf(outgoing), static_cast<int>(outgoing.getMaxRemainCount()),
                        pair->bytesUp(), pair->bytesDown(), pair->acceptedAt});
    }
    return rows;
}

std::vector<PairRow> pairRows(const UdpRepeater& repeater) {
    std::vector<PairRow> rows;
    for (const UdpSessionRow& session : repeater.snapshot()) {
        rows.push_back({session.serial,
                        {session.clientAddress, static_cast<int>(session.clientPort)},
                        {session.bindIp, static_cast<int>(session.bindPort)},
                        0,
                        {session.outgoingIp, static_cast<int>(session.outgoingPort)},
                        {session.destinationAddress, static_cast<int>(session.destinationPort)},
                        0,
                        session.up,
                        session.down,
                        session.acceptedAt});
    }
    return rows;
}
