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
    // The epoll set is made once the tool listens.
    explicit EchoServer(const int& epollFd) : epollFd_(epollFd) {}

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

    const int& epollFd_;
    std::vector<std::unique_ptr<Conn>> conns_;
};

}  // namespace

int main(int argc, char** argv) {
    int epollFd = -1;
    EchoServer server(epollFd);
    return bench::runServerTool(
        argc, argv, "echo_server", epollFd, [&](int listener) { server.accept(listener); },
        [&](int fd, std::uint32_t events) { server.serve(fd, events); });
}
