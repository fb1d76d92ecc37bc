#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string_view>

#include "client_modes.h"
#include "tests/support/loopback.h"

namespace bench {
namespace {

constexpr std::size_t kChunk = std::size_t{256} * 1024;

// Both directions of one echoed stream; the socket is non-blocking and owned here.
class Transfer {
  public:
    Transfer(int fd, std::uint64_t total) : fd_(fd), total_(total) {}

    // Sends what the socket takes; false on a socket error.
    bool send() {
        for (int i = 0; i < 64 && sent_ < total_; ++i) {
            if (outBegin_ == outEnd_) {
                outEnd_ = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, total_ - sent_));
                fillPattern(sent_, out_.get(), outEnd_);
                outBegin_ = 0;
            }
            const ssize_t n =
                ::send(fd_, out_.get() + outBegin_, outEnd_ - outBegin_, MSG_NOSIGNAL);
            if (n < 0) {
                return errno == EAGAIN || errno == EINTR;
            }
            outBegin_ += static_cast<std::size_t>(n);
            sent_ += static_cast<std::uint64_t>(n);
        }
        return true;
    }

    // Receives and checks what has arrived; the status word when the stream is over.
    const char* receive() {
        for (int i = 0; i < 64 && received_ < total_; ++i) {
            const ssize_t n = ::recv(fd_, in_.get(), kChunk, 0);
            if (n == 0) {
                return "eof";
            }
            if (n < 0) {
                return (errno == EAGAIN || errno == EINTR) ? nullptr : "error";
            }
            const auto got = static_cast<std::size_t>(n);
            if (received_ + got > total_ || checkPattern(received_, in_.get(), got) != got) {
                return "mismatch";
            }
            received_ += got;
        }
        return received_ == total_ ? "ok" : nullptr;
    }

    std::uint64_t sent() const { return sent_; }
    std::uint64_t received() const { return received_; }

  private:
    int fd_;
    std::uint64_t total_;
    std::uint64_t sent_ = 0;
    std::uint64_t received_ = 0;
    std::unique_ptr<char[]> out_ = std::make_unique_for_overwrite<char[]>(kChunk);
    std::unique_ptr<char[]> in_ = std::make_unique_for_overwrite<char[]>(kChunk);
    std::size_t outBegin_ = 0;
    std::size_t outEnd_ = 0;
};

}  // namespace

int runTransfer(const Args& args) {
    const auto port = static_cast<std::uint16_t>(args.integer("port", 0));
    const auto total = static_cast<std::uint64_t>(std::max(1LL, args.integer("bytes", 1LL << 30)));
    const std::int64_t begin = nowNs();
    const std::int64_t deadline = begin + args.integer("timeout-seconds", 60) * 1000000000LL;

    const int fd = loopback::connectStart(port);
    const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT;
    if (fd < 0 || epollFd < 0 || ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        std::printf("transfer status=connect-failed\n");
        return 1;
    }
    Transfer transfer(fd, total);
    const char* status = "timeout";
    bool connected = false;
    bool sending = true;
    for (long long i = 0; i < 100000000 && nowNs() < deadline; ++i) {
        epoll_event got{};
        if (::epoll_wait(epollFd, &got, 1, 100) <= 0) {
            continue;
        }
        if (!connected && (got.events & EPOLLOUT) != 0) {
            connected = loopback::socketError(fd) == 0;
        }
        if ((got.events & EPOLLERR) != 0 || (!connected && (got.events & EPOLLHUP) != 0)) {
            status = "error";
            break;
        }
        if ((got.events & EPOLLOUT) != 0 && !transfer.send()) {
            status = "error";
            break;
        }
        if ((got.events & (EPOLLIN | EPOLLHUP)) != 0) {
            if (const char* end = transfer.receive(); end != nullptr) {
                status = end;
                break;
            }
        }
        if (sending && transfer.sent() == total) {
            sending = false;
            ev.events = EPOLLIN;
            ::epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &ev);
        }
    }
    const double seconds = static_cast<double>(nowNs() - begin) / 1e9;
    ::close(epollFd);
    ::close(fd);
    std::printf("transfer status=%s bytes=%llu sent=%llu received=%llu seconds=%.3f mibps=%.1f\n",
                status, static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(transfer.sent()),
                static_cast<unsigned long long>(transfer.received()), seconds,
                static_cast<double>(transfer.received()) / (1024.0 * 1024.0) / seconds);
    return std::string_view(status) == "ok" ? 0 : 1;
}

}  // namespace bench
