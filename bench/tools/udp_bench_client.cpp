// UDP load client for the relay benchmark, one mode per run, loopback only:
//   rtt  --relay P --direct D [--count N]: 64-byte ping-pongs, alternating between the relay
//        and the echo server itself; prints both sides' p50 and p99 in microseconds.
//   rate --port P --rate R [--seconds T] [--sockets K] [--size S]: offers R datagrams a
//        second spread over K sockets, reads the echoes on another thread; prints the counts.
//   hold --port P [--count N] [--seconds T]: N sockets each get one answer, then stay open
//        (the sessions idle) for T seconds after printing "held N".

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"
#include "tests/support/process_figures.h"
#include "tests/support/udp_peer.h"

namespace {
using namespace std::chrono_literals;

int connected(int port, std::chrono::milliseconds timeout) {
    int fd = udp::bindAt("127.0.0.1", 0, timeout);
    if (fd >= 0 && !udp::connectTo(fd, "127.0.0.1", port)) {
        close(fd);
        return -1;
    }
    return fd;
}

// One round trip in microseconds, or -1 when the answer did not come.
double ping(int fd, const std::string& message, std::string& answer) {
    const std::int64_t start = bench::nowNs();
    if (!udp::send(fd, message) || !udp::receive(fd, answer) || answer != message) {
        return -1;
    }
    return static_cast<double>(bench::nowNs() - start) / 1000.0;
}

int rtt(const bench::Args& args) {
    const int relay = connected(static_cast<int>(args.integer("relay", 0)), 1s);
    const int direct = connected(static_cast<int>(args.integer("direct", 0)), 1s);
    const long count = static_cast<long>(args.integer("count", 2000));
    std::vector<double> times[2];
    long lost = 0;
    std::string message(64, 'p');
    std::string answer;
    for (long i = -100; i < count; ++i) {  // the first hundred warm up, unmeasured
        std::memcpy(message.data(), &i, sizeof i);
        for (int side = 0; side < 2; ++side) {
            double us = ping(side == 0 ? direct : relay, message, answer);
            if (us < 0) {
                ++lost;
            } else if (i >= 0) {
                times[side].push_back(us);
            }
        }
    }
    for (auto& t : times) {
        std::sort(t.begin(), t.end());
    }
    std::printf(
        "direct_p50_us %.1f direct_p99_us %.1f relay_p50_us %.1f relay_p99_us %.1f lost %ld\n",
        figures::sortedPercentile(times[0], 0.5), figures::sortedPercentile(times[0], 0.99),
        figures::sortedPercentile(times[1], 0.5), figures::sortedPercentile(times[1], 0.99), lost);
    return 0;
}

int rate(const bench::Args& args) {
    const int port = static_cast<int>(args.integer("port", 0));
    const long perSecond = static_cast<long>(args.integer("rate", 10000));
    const double seconds = static_cast<double>(args.integer("seconds", 2));
    const int count = static_cast<int>(args.integer("sockets", 4));
    const std::size_t size = static_cast<std::size_t>(args.integer("size", 512));
    std::vector<int> sockets;
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < count; ++i) {
        sockets.push_back(connected(port, 1s));
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = sockets.back();
        epoll_ctl(epollFd, EPOLL_CTL_ADD, sockets.back(), &ev);
    }
    std::atomic<long> received{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::vector<char> buffer(65536);
        epoll_event events[64];
        while (!done) {
            int n = epoll_wait(epollFd, events, 64, 50);
            for (int i = 0; i < n; ++i) {
                while (recv(events[i].data.fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
                    ++received;
                }
            }
        }
    });
    std::string datagram(size, 'r');
    long sent = 0;
    const std::int64_t start = bench::nowNs();
    const auto total = static_cast<long>(static_cast<double>(perSecond) * seconds);
    while (sent < total) {
        // Paced in steps of 100 µs: what is due by now goes out.
        const double elapsed = static_cast<double>(bench::nowNs() - start) / 1e9;
        const long due =
            std::min(total, static_cast<long>(elapsed * static_cast<double>(perSecond)));
        for (; sent < due; ++sent) {
            send(sockets[static_cast<std::size_t>(sent % count)], datagram.data(), size,
                 MSG_DONTWAIT);
        }
        std::this_thread::sleep_for(100us);
    }
    const double took = static_cast<double>(bench::nowNs() - start) / 1e9;
    std::this_thread::sleep_for(300ms);  // the last echoes on their way
    done = true;
    reader.join();
    std::printf(
        "sent %ld received %ld loss %.5f offered_pps %.0f\n", sent, received.load(),
        sent > 0 ? 1.0 - static_cast<double>(received.load()) / static_cast<double>(sent) : 1.0,
        static_cast<double>(sent) / took);
    return 0;
}

int hold(const bench::Args& args) {
    const int port = static_cast<int>(args.integer("port", 0));
    const long count = static_cast<long>(args.integer("count", 2000));
    std::vector<int> sockets;
    std::string answer;
    long held = 0;
    for (long i = 0; i < count; ++i) {
        int fd = connected(port, 1s);
        if (fd < 0) {
            break;
        }
        sockets.push_back(fd);
        held += ping(fd, "hold", answer) >= 0 ? 1 : 0;
    }
    std::printf("held %ld\n", held);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(args.integer("seconds", 5)));
    for (int fd : sockets) {
        close(fd);
    }
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: udp_bench_client rtt|rate|hold [--key value]...\n");
        return 2;
    }
    bench::Args args(argc, argv, 2);
    const std::string mode = argv[1];
    if (!args.ok()) {
        return 2;
    }
    if (mode == "rtt") {
        return rtt(args);
    }
    if (mode == "rate") {
        return rate(args);
    }
    if (mode == "hold") {
        return hold(args);
    }
    std::fprintf(stderr, "udp_bench_client: unknown mode %s\n", mode.c_str());
    return 2;
}
