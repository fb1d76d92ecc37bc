#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

namespace loopback {

namespace {
sockaddr_in loopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}
}  // namespace

void setTimeouts(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void setBufferSizes(int fd, int receive, int send) {
    if (receive > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive, sizeof receive);
    }
    if (send > 0) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send, sizeof send);
    }
}

namespace {
int portOf(int fd, bool peer) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    auto* name = reinterpret_cast<sockaddr*>(&address);
    if (fd < 0 || (peer ? getpeername(fd, name, &length) : getsockname(fd, name, &length)) != 0 ||
        address.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(address.sin_port);
}

int bindAt(int wanted, bool reuseAddress) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int one = 1;
    if (reuseAddress) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    sockaddr_in address = loopbackAddress(wanted);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int listenOrClose(int fd, int backlog) {
    if (fd >= 0 && listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}
}  // namespace

int localPort(int fd) {
    return portOf(fd, false);
}

int remotePort(int fd) {
    return portOf(fd, true);
}

int bindAny(int& port) {
    int fd = bindAt(0, false);
    port = localPort(fd);
    if (fd >= 0 && port == 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int listenAny(int& port, int backlog) {
    return listenOrClose(bindAny(port), backlog);
}

int listenIpv6(int& port, int backlog) {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    port = ntohs(address.sin6_port);
    return fd;
}

int listenAt(int port, int backlog) {
    return listenOrClose(bindAt(port, true), backlog);
}

bool setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int socketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

void resetOnClose(int fd) {
    linger off{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
}

namespace {
// The kernel hands out ports of this range by itself (ephemeral binds, a connect's own end),
// so a port picked inside it and released can be taken by anyone before the relay binds it.
std::pair<int, int> ephemeralRange() {
    int low = 32768;
    int high = 60999;
    if (std::FILE* file = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "re")) {
        if (std::fscanf(file, "%d %d", &low, &high) != 2) {
            low = 32768;
            high = 60999;
        }
        std::fclose(file);
    }
    return {low, high};
}

// Ports for tests outside that range; other test processes are kept off a port by an
// abstract local socket named after it, which the kernel frees when this process ends.
std::pair<int, int> reservableRange() {
    const auto [low, high] = ephemeralRange();
    if (low > 12000) {
        return {std::max(10000, low - 12000), low - 1};
    }
    if (high < 60000) {
        return {high + 1, 65535};
    }
    return {0, -1};
}

int reserveAcrossProcesses(int port) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "tarnwick-pico-test-port-" + std::to_string(port);
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool bindsNow(int port, int type) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}
}  // namespace

int freePort() {
    static std::mutex mutex;
    static int next = -1;
    const std::lock_guard lock(mutex);
    static const std::pair<int, int> range = reservableRange();  // read once per process
    const auto [first, last] = range;
    const int count = last - first + 1;
    if (count <= 0) {
        int port = 0;
        int fd = listenAny(port, 1);
        if (fd >= 0) {
            close(fd);
        }
        return port;
    }
    if (next < 0) {
        next = static_cast<int>((static_cast<unsigned>(getpid()) * 2654435761U) %
                                static_cast<unsigned>(count));
    }
    for (int tries = 0; tries < count && tries < 4096; ++tries) {
        const int port = first + next;
        next = (next + 1) % count;
        const int reservation = reserveAcrossProcesses(port);
        if (reservation < 0) {
            continue;
        }
        if (bindsNow(port, SOCK_STREAM) && bindsNow(port, SOCK_DGRAM)) {
            return port;  // the reservation stays open until the process ends
        }
        close(reservation);
    }
    return 0;
}

int connectTo(int port, std::chrono::milliseconds timeout) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    setTimeouts(fd, timeout);
    sockaddr_in address = loopbackAddress(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connectStart(int port, int receiveBuffer) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    setBufferSizes(fd, receiveBuffer, 0);
    sockaddr_in address = loopbackAddress(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string receiveExactly(int fd, std::size_t length) {
    std::string data(length, '\0');
    std::size_t got = 0;
    while (got < length) {
        ssize_t n = recv(fd, data.data() + got, length - got, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    data.resize(got);
    return data;
}

std::string receiveUntilClosed(int fd) {
    std::string data;
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

bool waitClosed(int fd) {
    char buffer[4096];
    for (int i = 0; i < 1000; ++i) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            return errno == ECONNRESET || errno == EPIPE;
        }
    }
    return false;
}

std::string pattern(std::size_t length, unsigned seed) {
    std::string data(length, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = static_cast<char>(state >> 24);
    }
    return data;
}

std::uint64_t checksum(const unsigned char* data, std::size_t length, std::uint64_t seed) {
    std::uint64_t hash = seed == 0 ? 1469598103934665603ull : seed;
    for (std::size_t i = 0; i < length; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    return hash;
}

Server::Server(std::function<void(int)> handler, int receiveBuffer)
    : handler_(std::move(handler)), receiveBuffer_(receiveBuffer) {
    listenFd_ = listenAny(port_);
    if (receiveBuffer_ > 0) {
        setBufferSizes(listenFd_, receiveBuffer_, 0);
    }
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

Server::~Server() {
    stop();
}

void Server::stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    {
        // Under the lock, so that no descriptor number is shut down after its handler's
        // thread closed it (the number may belong to someone else by then).
        std::lock_guard<std::mutex> lock(openMutex_);
        for (int fd : open_) {
            shutdown(fd, SHUT_RDWR);
        }
    }
    for (auto& worker : workers_) {
        worker.join();
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
}

void Server::acceptLoop() {
    while (!stopping_.load()) {
        pollfd waiting{listenFd_, POLLIN, 0};
        if (poll(&waiting, 1, 20) <= 0) {
            continue;
        }
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        setTimeouts(fd, 10s);
        ++accepted_;
        {
            std::lock_guard<std::mutex> lock(openMutex_);
            open_.insert(fd);
        }
        workers_.emplace_back([this, fd] {
            handler_(fd);
            std::lock_guard<std::mutex> lock(openMutex_);
            open_.erase(fd);
            close(fd);
        });
    }
}

void echo(int fd) {
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0 || !sendAll(fd, buffer, static_cast<std::size_t>(n))) {
            return;
        }
    }
}

HoldServer::HoldServer(int backlog) {
    listenFd_ = listenAny(port_, backlog);
}

HoldServer::~HoldServer() {
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
}

bool Client::connectTo(int port, std::chrono::milliseconds timeout) {
    close();
    fd_ = loopback::connectTo(port, timeout);
    return fd_ >= 0;
}

void Client::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int Client::localPort() const {
    return loopback::localPort(fd_);
}

}  // namespace loopback
