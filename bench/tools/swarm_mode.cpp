#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "client_modes.h"
#include "tests/support/loopback.h"

namespace bench {
namespace {

enum class Phase { Connecting, Sending, Receiving, Done, Failed };

struct SwarmConn {
    int fd = -1;
    Phase phase = Phase::Connecting;
    std::size_t sent = 0;
    std::size_t received = 0;
};

struct Tally {
    long long ok = 0;
    long long failed = 0;
    long long dropped = 0;
};

// Drives every connection of the swarm through connect, send and receive on one
// epoll loop. Owns the sockets; finished ones stay open until the object dies.
class Swarm {
  public:
    Swarm(std::uint16_t port, long long count, bool echo, std::size_t size)
        : port_(port),
          conns_(static_cast<std::size_t>(count)),
          echo_(echo),
          size_(echo ? size : 1) {}

    ~Swarm() {
        for (const SwarmConn& c : conns_) {
            if (c.fd >= 0) {
                ::close(c.fd);
            }
        }
        if (epollFd_ >= 0) {
            ::close(epollFd_);
        }
    }
    Swarm(const Swarm&) = delete;
    Swarm& operator=(const Swarm&) = delete;

    bool start() {
        epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
        return epollFd_ >= 0;
    }

    // Opens more connections while fewer than inflight are unfinished.
    void openMore(long long inflight) {
        while (next_ < conns_.size() &&
               static_cast<long long>(next_) - tally_.ok - tally_.failed < inflight) {
            const std::size_t index = next_++;
            SwarmConn& c = conns_[index];
            c.fd = loopback::connectStart(port_);
            epoll_event ev{};
            ev.events = EPOLLOUT;
            ev.data.u64 = index;
            if (c.fd < 0 || ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, c.fd, &ev) != 0) {
                fail(c);
            }
        }
    }

    void poll(int timeoutMs) {
        epoll_event events[256];
        const int n = ::epoll_wait(epollFd_, events, 256, timeoutMs);
        for (int i = 0; i < n; ++i) {
            handle(conns_[events[i].data.u64], events[i].events, events[i].data.u64);
        }
    }

    bool finished() const {
        return tally_.ok + tally_.failed == static_cast<long long>(conns_.size());
    }
    const Tally& tally() const { return tally_; }
    bool allOpened() const { return next_ == conns_.size(); }

  private:
    void handle(SwarmConn& c, std::uint32_t events, std::uint64_t index) {
        if (c.phase == Phase::Done) {
            // The relay gave up a connection that had already finished.
            ++tally_.dropped;
            ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, c.fd, nullptr);
            return;
        }
        if ((events & EPOLLERR) != 0 ||
            (c.phase == Phase::Connecting && loopback::socketError(c.fd) != 0)) {
            fail(c);
            return;
        }
        if (c.phase == Phase::Connecting) {
            c.phase = echo_ ? Phase::Sending : Phase::Receiving;
        }
        if (c.phase == Phase::Sending && !sendMessage(c, index)) {
            return;
        }
        if (c.phase == Phase::Receiving) {
            receive(c, index);
        }
    }

    bool sendMessage(SwarmConn& c, std::uint64_t index) {
        char message[256];
        fillPattern(index * size_, message, size_);
        const ssize_t n = ::send(c.fd, message + c.sent, size_ - c.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                fail(c);
            }
            return false;
        }
        c.sent += static_cast<std::size_t>(n);
        if (c.sent < size_) {
            return false;
        }
        c.phase = Phase::Receiving;
        watch(c, index, EPOLLIN);
        return true;
    }

    void receive(SwarmConn& c, std::uint64_t index) {
        char buf[256];
        const ssize_t n = ::recv(c.fd, buf, size_ - c.received, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            fail(c);
            return;
        }
        if (n < 0) {
            watch(c, index, EPOLLIN);
            return;
        }
        const auto got = static_cast<std::size_t>(n);
        const bool same =
            echo_ ? checkPattern(index * size_ + c.received, buf, got) == got : buf[0] == 'H';
        if (!same) {
            fail(c);
            return;
        }
        c.received += got;
        if (c.received == size_) {
            c.phase = Phase::Done;
            ++tally_.ok;
            watch(c, index, EPOLLRDHUP);
        }
    }

    void watch(SwarmConn& c, std::uint64_t index, std::uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = index;
        ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, c.fd, &ev);
    }

    void fail(SwarmConn& c) {
        if (c.fd >= 0) {
            ::close(c.fd);
            c.fd = -1;
        }
        c.phase = Phase::Failed;
        ++tally_.failed;
    }

    std::uint16_t port_;
    std::vector<SwarmConn> conns_;
    bool echo_;
    std::size_t size_;
    std::size_t next_ = 0;
    int epollFd_ = -1;
    Tally tally_;
};

}  // namespace

int runSwarm(const Args& args, bool echo) {
    const auto port = static_cast<std::uint16_t>(args.integer("port", 0));
    const long long count = std::clamp(args.integer("count", 1000), 1LL, 1000000LL);
    const long long inflight = std::max(1LL, args.integer("inflight", 512));
    const auto size = static_cast<std::size_t>(std::clamp(args.integer("size", 32), 1LL, 256LL));
    const std::int64_t begin = nowNs();
    const std::int64_t deadline = begin + args.integer("timeout-seconds", 30) * 1000000000LL;

    Swarm swarm(port, count, echo, size);
    if (!swarm.start()) {
        std::printf("%s status=error\n", echo ? "concurrency" : "hold");
        return 1;
    }
    // Connections that a relay never takes off its listen queue (it is at its own
    // connection limit) would otherwise hold the run until the deadline.
    const std::int64_t stallNs = args.integer("stall-seconds", 5) * 1000000000LL;
    std::int64_t lastProgress = nowNs();
    long long lastDone = 0;
    bool stalled = false;
    for (long long i = 0; i < 10000000 && !swarm.finished() && nowNs() < deadline; ++i) {
        swarm.openMore(inflight);
        swarm.poll(50);
        const long long done = swarm.tally().ok + swarm.tally().failed;
        if (done != lastDone) {
            lastDone = done;
            lastProgress = nowNs();
        } else if (swarm.allOpened() && nowNs() - lastProgress > stallNs) {
            stalled = true;
            break;
        }
    }
    const double seconds = static_cast<double>(nowNs() - begin) / 1e9;
    const Tally& t = swarm.tally();
    std::printf(
        "%s status=%s total=%lld ok=%lld failed=%lld unfinished=%lld dropped=%lld "
        "seconds=%.3f\n",
        echo ? "concurrency" : "hold",
        swarm.finished() ? "done" : (stalled ? "stalled" : "timeout"), count, t.ok - t.dropped,
        t.failed, count - t.ok - t.failed, t.dropped, seconds);
    std::fflush(stdout);

    // Keep everything open while the caller reads the relay's memory; it ends us
    // with a signal or we stop on our own.
    const std::int64_t holdUntil = nowNs() + args.integer("hold-seconds", 0) * 1000000000LL;
    for (int i = 0; i < 100000 && nowNs() < holdUntil; ++i) {
        swarm.poll(100);
    }
    return t.ok > 0 ? 0 : 1;
}

}  // namespace bench
