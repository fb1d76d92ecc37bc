// UDP echo server for the relay benchmark: sends every datagram back to its sender, in
// batches (recvmmsg/sendmmsg) so that it is never the slowest part of a run. Prints
// "port N" once bound to 127.0.0.1 and runs until killed or --max-seconds have passed.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <memory>

#include "bench_net.h"
#include "tests/support/udp_peer.h"

namespace {
constexpr unsigned kBatch = 64;
constexpr std::size_t kSlot = 65536;
}  // namespace

int main(int argc, char** argv) {
    bench::Args args(argc, argv, 1);
    const int fd = udp::bindAt("127.0.0.1", static_cast<int>(args.integer("port", 0)));
    if (fd < 0) {
        std::perror("udp_echo_server");
        return 1;
    }
    int buffer = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
    std::printf("port %d\n", udp::localPort(fd));
    std::fflush(stdout);

    auto data = std::make_unique_for_overwrite<char[]>(kBatch * kSlot);
    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> parts{};
    std::array<sockaddr_storage, kBatch> from{};
    const std::int64_t end = bench::nowNs() + args.integer("max-seconds", 7200) * 1000000000LL;
    while (bench::nowNs() < end) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 1000) <= 0) {
            continue;
        }
        for (unsigned i = 0; i < kBatch; ++i) {
            parts[i] = {data.get() + i * kSlot, kSlot};
            messages[i].msg_hdr = {};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_name = &from[i];
            messages[i].msg_hdr.msg_namelen = sizeof from[i];
        }
        int n = recvmmsg(fd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < n; ++i) {
            parts[i].iov_len = messages[i].msg_len;
        }
        for (int sent = 0; n > 0 && sent < n;) {
            int now = sendmmsg(fd, messages.data() + sent, static_cast<unsigned>(n - sent), 0);
            if (now <= 0) {
                break;
            }
            sent += now;
        }
    }
    close(fd);
    return 0;
}
