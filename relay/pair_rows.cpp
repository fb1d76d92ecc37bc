#include "relay/pair_rows.h"

#include "relay/tcp_repeater.h"

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
