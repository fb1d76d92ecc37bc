#include "bench_net.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tests/support/loopback.h"
#include "tests/support/process_figures.h"

namespace bench {
namespace {

std::uint64_t splitmix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30U)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27U)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31U);
}

char patternByte(std::uint64_t offset) {
    const std::uint64_t word = splitmix(offset / 8);
    return static_cast<char>((word >> (8 * (offset % 8))) & 0xffU);
}

}  // namespace

void setNoDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::int64_t nowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void fillPattern(std::uint64_t offset, char* out, std::size_t len) {
    std::size_t i = 0;
    // Byte by byte up to a word boundary, then whole words.
    for (; i < len && (offset + i) % 8 != 0; ++i) {
        out[i] = patternByte(offset + i);
    }
    for (; i + 8 <= len; i += 8) {
        const std::uint64_t word = splitmix((offset + i) / 8);
        std::memcpy(out + i, &word, 8);
    }
    for (; i < len; ++i) {
        out[i] = patternByte(offset + i);
    }
}

std::size_t checkPattern(std::uint64_t offset, const char* data, std::size_t len) {
    char expected[4096];
    for (std::size_t done = 0; done < len;) {
        const std::size_t n = (len - done < sizeof expected) ? len - done : sizeof expected;
        fillPattern(offset + done, expected, n);
        if (std::memcmp(expected, data + done, n) != 0) {
            for (std::size_t i = 0; i < n; ++i) {
                if (expected[i] != data[done + i]) {
                    return done + i;
                }
            }
        }
        done += n;
    }
    return len;
}

Args::Args(int argc, char** argv, int first) {
    for (int i = first; i < argc; i += 2) {
        const std::string key = argv[i];
        if (key.rfind("--", 0) != 0 || i + 1 >= argc) {
            ok_ = false;
            return;
        }
        values_[key.substr(2)] = argv[i + 1];
    }
}

long long Args::integer(const std::string& key, long long fallback) const {
    const auto it = values_.find(key);
    if (it == values_.end()) {
        return fallback;
    }
    char* end = nullptr;
    const long long value = std::strtoll(it->second.c_str(), &end, 10);
    return (end != nullptr && *end == '\0') ? value : fallback;
}

int runServerTool(int argc, char** argv, const char* name, int& epollFd,
                  const std::function<void(int listener)>& onListener,
                  const std::function<void(int fd, std::uint32_t events)>& onEvent) {
    const Args args(argc, argv, 1);
    if (!args.ok()) {
        std::fprintf(stderr, "usage: %s [--port P] [--max-seconds S]\n", name);
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(args.integer("port", 0));
    const long long maxSeconds = args.integer("max-seconds", 7200);
    figures::setOpenFiles(figures::openFilesHardLimit());
    const int listener = loopback::listenAt(port, 65535);
    if (listener < 0 || !loopback::setNonBlocking(listener)) {
        std::fprintf(stderr, "%s: listen: %s\n", name, std::strerror(errno));
        return 1;
    }
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event lev{};
    lev.events = EPOLLIN;
    lev.data.fd = listener;
    ::epoll_ctl(epollFd, EPOLL_CTL_ADD, listener, &lev);
    std::printf("port %d\n", loopback::localPort(listener));
    std::fflush(stdout);

    const std::int64_t deadline = nowNs() + maxSeconds * 1000000000LL;
    epoll_event events[512];
    while (nowNs() < deadline) {
        const int n = ::epoll_wait(epollFd, events, 512, 500);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == listener) {
                onListener(listener);
            } else {
                onEvent(events[i].data.fd, events[i].events);
            }
        }
    }
    return 0;
}

}  // namespace bench
