// Throughput of one large transfer through the relay engine against a direct connection,
// both on loopback in one run. The relay runs on this thread's event loop, as in the
// program; the sender and the sink run on their own threads.
//
//   relay_bench [megabytes] [rounds]

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket_event_loop.h"
#include "platform/trace.h"
#include "relay/tcp_repeater.h"
#include "tests/support/loopback.h"
#include "tests/support/test_forward.h"

namespace {

using Clock = std::chrono::steady_clock;

int listenLoopback(int& port) {
    int fd = loopback::listenAny(port, 16);
    if (fd < 0) {
        std::perror("listen");
        std::exit(1);
    }
    return fd;
}

int connectLoopback(int port) {
    int fd = loopback::connectTo(port, std::chrono::milliseconds(0));
    if (fd < 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

// Accepts one connection and reads until the end; returns the byte count.
std::size_t sink(int listenFd) {
    int fd = accept(listenFd, nullptr, nullptr);
    std::vector<char> buffer(1 << 18);
    std::size_t total = 0;
    for (ssize_t n; (n = recv(fd, buffer.data(), buffer.size(), 0)) > 0;) {
        total += static_cast<std::size_t>(n);
    }
    close(fd);
    return total;
}

void sendBytes(int fd, std::size_t total) {
    std::vector<char> block(1 << 18, 'x');
    while (total > 0) {
        ssize_t n = send(fd, block.data(), std::min(total, block.size()), MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        total -= static_cast<std::size_t>(n);
    }
    close(fd);
}

// MB/s for one transfer to `port`; `dispatch` runs the relay while the threads work.
template <class Dispatch>
double transfer(int targetPort, int sinkFd, std::size_t bytes, Dispatch dispatch) {
    auto received = std::async(std::launch::async, [sinkFd] { return sink(sinkFd); });
    auto start = Clock::now();
    std::thread sender([targetPort, bytes] { sendBytes(connectLoopback(targetPort), bytes); });
    while (received.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        dispatch();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sender.join();
    if (received.get() != bytes) {
        std::fprintf(stderr, "transfer incomplete\n");
        std::exit(1);
    }
    return static_cast<double>(bytes) / 1e6 / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    std::size_t bytes = megabytes << 20;
    setTraceEnabled(false);

    SocketEventLoop loop;
    int sinkPort = 0;
    int sinkFd = listenLoopback(sinkPort);
    CTcpRepeater repeater;
    repeater.configure(testForward(0, "127.0.0.1", sinkPort));
    repeater.start();
    int relayPort = static_cast<int>(repeater.listenPort());

    std::vector<double> direct;
    std::vector<double> relayed;
    for (int round = 0; round < rounds; ++round) {
        direct.push_back(transfer(sinkPort, sinkFd, bytes, [] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }));
        relayed.push_back(transfer(relayPort, sinkFd, bytes, [&] {
            loop.runUntil([] { return false; }, std::chrono::milliseconds(5));
        }));
        std::printf("round %d: direct %.0f MB/s, relay %.0f MB/s (%.2fx)\n", round + 1,
                    direct.back(), relayed.back(), relayed.back() / direct.back());
    }
    std::sort(direct.begin(), direct.end());
    std::sort(relayed.begin(), relayed.end());
    double d = direct[direct.size() / 2];
    double r = relayed[relayed.size() / 2];
    std::printf(
        "median of %d rounds, %zu MiB each: direct %.0f MB/s, relay %.0f MB/s, ratio %.2f\n",
        rounds, megabytes, d, r, r / d);
    repeater.stop();
    close(sinkFd);
    return 0;
}
