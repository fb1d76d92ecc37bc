// Echo server for the relay benchmark: sends every byte back on the connection it
// came from, one epoll loop on one thread. Prints "port N" once it listens and runs
// until it is killed or --max-seconds have passed.

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "bench_net.h"

namespace {

constexpr std::size_t kBufferSize = std::size_t{64} * 1024;
constexpr int kStepsPerEvent = 16;

// One accepted connection; owns its socket and the bytes not yet sent back.
struct Conn {
    int fd = -1;
    std::unique_ptr<char[]> buf = std::make_unique_for_overwrite<char[]>(kBufferSize);
    std::size_t begin = 0;
    std::size_t end = 0;
    bool wantsOut = false;
};

class EchoServer {
  public:
    explicit EchoServer(int epollFd) : epollFd_(epollFd) {}

    void accept(int listener) {
        for (int i = 0; i < 256; ++i) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                return;
            }
            bench::setNoDelay(fd);
            if (static_cast<std::size_t>(fd) >= conns_.size()) {
                conns_.resize(static_cast<std::size_t>(fd) * 2 + 1);
            }
            auto conn = std::make_unique<Conn>();
            conn->fd = fd;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
                ::close(fd);
                continue;
            }
            conns_[static_cast<std::size_t>(fd)] = std::move(conn);
        }
    }

    void serve(int fd, std::uint32_t events) {
        if (fd < 0 || static_cast<std::size_t>(fd) >= conns_.size() ||
            !conns_[static_cast<std::size_t>(fd)]) {
            return;
        }
        Conn& c = *conns_[static_cast<std::size_t>(fd)];
        if ((events & EPOLLERR) != 0 || !pump(c)) {
            drop(c);
            return;
        }
        const bool wantsOut = c.begin < c.end;
        if (wantsOut != c.wantsOut) {
            epoll_event ev{};
            ev.events = wantsOut ? EPOLLOUT : EPOLLIN;
            ev.data.fd = c.fd;
            ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, c.fd, &ev);
            c.wantsOut = wantsOut;
        }
    }

  private:
    // Moves bytes from the socket back to it; false when the connection is over.
    static bool pump(Conn& c) {
        for (int step = 0; step < kStepsPerEvent; ++step) {
            if (c.begin < c.end) {
                const ssize_t n =
                    ::send(c.fd, c.buf.get() + c.begin, c.end - c.begin, MSG_NOSIGNAL);
                if (n < 0) {
                    return errno == EAGAIN || errno == EINTR;
                }
                c.begin += static_cast<std::size_t>(n);
                continue;
            }
            c.begin = c.end = 0;
            const ssize_t n = ::recv(c.fd, c.buf.get(), kBufferSize, 0);
            if (n == 0) {
                return false;
            }
            if (n < 0) {
                return errno == EAGAIN || errno == EINTR;
            }
            c.end = static_cast<std::size_t>(n);
        }
        return true;
    }

    void drop(Conn& c) {
        const int fd = c.fd;
        ::close(fd);
        conns_[static_cast<std::size_t>(fd)].reset();
    }

    int epollFd_;
    std::vector<std::unique_ptr<Conn>> conns_;
};

}  // namespace

int main(int argc, char** argv) {
    const bench::Args args(argc, argv, 1);
    if (!args.ok()) {
        std::fprintf(stderr, "usage: echo_server [--port P] [--max-seconds S]\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(args.integer("port", 0));
    const long long maxSeconds = args.integer("max-seconds", 7200);
    bench::raiseFileLimit();
    const int listener = bench::listenLoopback(port, 65535);
    if (listener < 0 || !bench::setNonBlocking(listener)) {
        std::perror("echo_server: listen");
        return 1;
    }
    const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event lev{};
    lev.events = EPOLLIN;
    lev.data.fd = listener;
    ::epoll_ctl(epollFd, EPOLL_CTL_ADD, listener, &lev);
    std::printf("port %u\n", bench::localPort(listener));
    std::fflush(stdout);

    EchoServer server(epollFd);
    const std::int64_t deadline = bench::nowNs() + maxSeconds * 1000000000LL;
    std::vector<epoll_event> events(512);
    while (bench::nowNs() < deadline) {
        const int n = ::epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), 500);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == listener) {
                server.accept(listener);
            } else {
                server.serve(events[i].data.fd, events[i].events);
            }
        }
    }
    return 0;
}
