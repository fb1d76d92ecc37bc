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
    const bench::Args args(argc, argv, 1);
    if (!args.ok()) {
        std::fprintf(stderr, "usage: hold_server [--port P] [--max-seconds S]\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(args.integer("port", 0));
    const long long maxSeconds = args.integer("max-seconds", 7200);
    bench::raiseFileLimit();
    const int listener = bench::listenLoopback(port, 65535);
    if (listener < 0 || !bench::setNonBlocking(listener)) {
        std::perror("hold_server: listen");
        return 1;
    }
    const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event lev{};
    lev.events = EPOLLIN;
    lev.data.fd = listener;
    ::epoll_ctl(epollFd, EPOLL_CTL_ADD, listener, &lev);
    std::printf("port %u\n", bench::localPort(listener));
    std::fflush(stdout);

    const std::int64_t deadline = bench::nowNs() + maxSeconds * 1000000000LL;
    std::vector<epoll_event> events(512);
    while (bench::nowNs() < deadline) {
        const int n = ::epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), 500);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == listener) {
                acceptAll(listener, epollFd);
            } else {
                drain(events[i].data.fd);
            }
        }
    }
    return 0;
}
