#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <vector>

#include "client_modes.h"
#include "tests/support/loopback.h"
#include "tests/support/process_figures.h"

namespace bench {
namespace {

constexpr int kWarmup = 100;

// Waits until fd is ready for the given poll events or the deadline passes.
bool waitReady(int fd, short events, std::int64_t deadline) {
    for (int i = 0; i < 1000000; ++i) {
        const std::int64_t left = deadline - nowNs();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, events, 0};
        const int n =
            ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left / 1000000 + 1, 1000)));
        if (n > 0) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return false;
}

bool sendAll(int fd, const char* data, std::size_t len, std::int64_t deadline) {
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::send(fd, data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if ((n < 0 && errno != EAGAIN && errno != EINTR) ||
                   !waitReady(fd, POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

bool recvAll(int fd, char* data, std::size_t len, std::int64_t deadline) {
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::recv(fd, data + done, len - done, MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR) ||
                   !waitReady(fd, POLLIN, deadline)) {
            return false;
        }
    }
    return true;
}

double percentileUs(const std::vector<std::int64_t>& sorted, double p) {
    return static_cast<double>(figures::sortedPercentile(sorted, p)) / 1000.0;
}

}  // namespace

int runRtt(const Args& args) {
    const auto port = static_cast<std::uint16_t>(args.integer("port", 0));
    const long long count = std::max(1LL, args.integer("count", 10000));
    const auto size = static_cast<std::size_t>(std::clamp(args.integer("size", 64), 1LL, 65536LL));
    const std::int64_t deadline = nowNs() + args.integer("timeout-seconds", 30) * 1000000000LL;

    const int fd = loopback::connectTo(port, std::chrono::milliseconds(0));
    if (fd < 0) {
        std::printf("rtt status=connect-failed\n");
        return 1;
    }
    setNoDelay(fd);
    std::vector<char> out(size);
    std::vector<char> in(size);
    std::vector<std::int64_t> samples;
    samples.reserve(static_cast<std::size_t>(count));
    const char* status = "ok";
    for (long long i = 0; i < kWarmup + count; ++i) {
        fillPattern(static_cast<std::uint64_t>(i) * size, out.data(), size);
        const std::int64_t start = nowNs();
        if (!sendAll(fd, out.data(), size, deadline) || !recvAll(fd, in.data(), size, deadline)) {
            status = nowNs() >= deadline ? "timeout" : "closed";
            break;
        }
        const std::int64_t end = nowNs();
        if (in != out) {
            status = "mismatch";
            break;
        }
        if (i >= kWarmup) {
            samples.push_back(end - start);
        }
    }
    ::close(fd);
    std::sort(samples.begin(), samples.end());
    std::printf("rtt status=%s count=%zu p50_us=%.1f p99_us=%.1f max_us=%.1f\n", status,
                samples.size(), percentileUs(samples, 0.50), percentileUs(samples, 0.99),
                percentileUs(samples, 1.0));
    return samples.size() == static_cast<std::size_t>(count) ? 0 : 1;
}

}  // namespace bench
