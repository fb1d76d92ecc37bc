// Holding server for the relay benchmark: greets every connection with one byte,
// so the client knows the relay has really reached this end, then keeps it open,
// discarding whatever arrives, until the peer closes. Prints "port N" once it
// listens and runs until it is killed or --max-seconds have passed.

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "bench_net.h"

namespace {

void acceptAll(int listener, int epollFd) {
    for (int i = 0; i < 256; ++i) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        const char greeting = 'H';
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (::send(fd, &greeting, 1, MSG_NOSIGNAL) != 1 ||
            ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ::close(fd);
        }
    }
}

void drain(int fd) {
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        ::close(fd);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int epollFd = -1;
    return bench::runServerTool(
        argc, argv, "hold_server", epollFd, [&](int listener) { acceptAll(listener, epollFd); },
        [](int fd, std::uint32_t /*events*/) { drain(fd); });
}
