#include "platform/tcp_queues.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

namespace {

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
           info.tcpi_state == TCP_CLOSE;
}
