#include "platform/tcp_queues.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>

namespace {

// States of the kernel's list: a handshake in progress, and a connection reset.
constexpr unsigned char kSynSentState = 2;
constexpr unsigned char kSynReceivedState = 3;
constexpr unsigned char kClosedState = 7;

int queued(int fd, unsigned long request) {
    int bytes = 0;
    return ioctl(fd, request, &bytes) == 0 ? bytes : 0;
}

}  // namespace

int unreadBytes(int fd) {
    return queued(fd, SIOCINQ);
}

int unsentBytes(int fd) {
    return queued(fd, SIOCOUTQ);
}

bool connectionReset(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
           info.tcpi_state == kClosedState;
}

CloseStakes closeStakes(int fd, std::uint64_t bytesRead) {
    tcp_info info{};
    socklen_t length = sizeof info;
    CloseStakes stakes;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        return stakes;
    }
    stakes.reset = info.tcpi_state == kClosedState;
    if (length < offsetof(tcp_info, tcpi_notsent_bytes) + sizeof info.tcpi_notsent_bytes) {
        // A kernel without these counts: ask for the queues themselves.
        stakes.unsent = !stakes.reset && unsentBytes(fd) != 0;
        stakes.unread = unreadBytes(fd) != 0;
        return stakes;
    }
    // Segments in flight and bytes not sent yet make up what SIOCOUTQ counts; as there, a
    // handshake's own segment is none.
    const bool handshake = info.tcpi_state == kSynSentState || info.tcpi_state == kSynReceivedState;
    stakes.unsent =
        !stakes.reset && !handshake && (info.tcpi_unacked != 0 || info.tcpi_notsent_bytes != 0);
    // The count takes the peer's end as one byte, so an end not yet seen counts as unread.
    stakes.unread = info.tcpi_bytes_received > bytesRead;
    return stakes;
}
