#include "tests/support/udp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace udp {

namespace {
// The address for ip:port; false for text that is neither family.
bool addressOf(const char* ip, int port, sockaddr_storage& out, socklen_t& length) {
    std::memset(&out, 0, sizeof out);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (inet_pton(AF_INET, ip, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, ip, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof *v6;
        return true;
    }
    return false;
}

std::string textOf(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    int port = 0;
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    } else {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    }
    return std::string(text) + ":" + std::to_string(port);
}
}  // namespace

int bindAt(const char* ip, int port, std::chrono::milliseconds timeout) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (!addressOf(ip, port, address, length)) {
        return -1;
    }
    int fd = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int buffer = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    return fd;
}

int localPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    return ntohs(address.ss_family == AF_INET6 ? v6->sin6_port : v4->sin_port);
}

bool connectTo(int fd, const char* ip, int port) {
    sockaddr_storage address{};
    socklen_t length = 0;
    return addressOf(ip, port, address, length) &&
           connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
}

bool sendTo(int fd, const char* ip, int port, const std::string& datagram) {
    sockaddr_storage address{};
    socklen_t length = 0;
    return addressOf(ip, port, address, length) &&
           sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address),
                  length) == static_cast<ssize_t>(datagram.size());
}

bool send(int fd, const std::string& datagram) {
    return ::send(fd, datagram.data(), datagram.size(), 0) == static_cast<ssize_t>(datagram.size());
}

bool receive(int fd, std::string& datagram, int* fromPort) {
    datagram.resize(65536);
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    ssize_t n = recvfrom(fd, datagram.data(), datagram.size(), 0,
                         reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) {
        datagram.clear();
        return false;
    }
    datagram.resize(static_cast<std::size_t>(n));
    if (fromPort != nullptr) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&from);
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&from);
        *fromPort = ntohs(from.ss_family == AF_INET6 ? v6->sin6_port : v4->sin_port);
    }
    return true;
}

EchoServer::EchoServer(const char* ip, std::chrono::milliseconds delay)
    : fd_(bindAt(ip, 0, 50ms)), port_(localPort(fd_)), delay_(delay) {
    thread_ = std::thread([this] { run(); });
}

EchoServer::~EchoServer() {
    stopping_ = true;
    thread_.join();
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::set<std::string> EchoServer::senders() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return senders_;
}

void EchoServer::run() {
    std::vector<char> buffer(65536);
    while (!stopping_ && fd_ >= 0) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                             reinterpret_cast<sockaddr*>(&from), &length);
        const auto now = std::chrono::steady_clock::now();
        if (n >= 0) {
            ++received_;
            std::lock_guard<std::mutex> lock(mutex_);
            senders_.insert(textOf(from));
            late_.push_back({now + delay_, from, length,
                             std::string(buffer.data(), static_cast<std::size_t>(n))});
        }
        // After a short timeout too: what is due goes, then stopping_ is looked at again.
        while (!late_.empty() && late_.front().due <= now) {
            const Late& answer = late_.front();
            sendto(fd_, answer.datagram.data(), answer.datagram.size(), 0,
                   reinterpret_cast<const sockaddr*>(&answer.to), answer.length);
            late_.pop_front();
        }
    }
}

}  // namespace udp
