#include "relay_peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace peers {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

void setTimeouts(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

void echo(int fd) {
    setTimeouts(fd, 20s);
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) {
            break;
        }
        ssize_t sent = 0;
        while (sent < got) {
            const ssize_t n =
                ::send(fd, buffer + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += n;
        }
    }
}

}  // namespace

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address = loopback(0);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        port = boundPort(fd);
    }
    ::close(fd);
    return port;
}

EchoServer::EchoServer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    if (listenFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listenFd_, 16) != 0) {
        return;
    }
    port_ = boundPort(listenFd_);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

EchoServer::~EchoServer() {
    stopping_ = true;
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    // Connections the relay still holds would keep their echo threads reading.
    for (const int fd : connections_) {
        ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& worker : workers_) {
        worker.join();
    }
    for (const int fd : connections_) {
        ::close(fd);
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
}

void EchoServer::acceptLoop() {
    while (!stopping_) {
        pollfd ready{listenFd_, POLLIN, 0};
        if (::poll(&ready, 1, 20) <= 0) {
            continue;
        }
        const int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        ++accepted_;
        connections_.push_back(fd);
        workers_.emplace_back([fd] { echo(fd); });
    }
}

HoldServer::HoldServer(int backlog) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    if (listenFd_ >= 0 &&
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::listen(listenFd_, backlog) == 0) {
        port_ = boundPort(listenFd_);
    }
}

HoldServer::~HoldServer() {
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
}

int Client::localPort() const {
    return fd_ < 0 ? 0 : boundPort(fd_);
}

Client::~Client() {
    close();
}

bool Client::connectTo(int port, std::chrono::milliseconds timeout) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) {
        return false;
    }
    setTimeouts(fd_, timeout);
    sockaddr_in address = loopback(port);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
}

bool Client::send(const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string Client::receive(std::size_t length) {
    std::string received;
    char buffer[16384];
    while (received.size() < length) {
        const std::size_t want = std::min(sizeof(buffer), length - received.size());
        const ssize_t n = ::recv(fd_, buffer, want, 0);
        if (n <= 0) {
            break;
        }
        received.append(buffer, static_cast<std::size_t>(n));
    }
    return received;
}

bool Client::waitClosed() {
    char byte = 0;
    for (int reads = 0; reads < 1000; ++reads) {
        const ssize_t n = ::recv(fd_, &byte, 1, 0);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            return errno == ECONNRESET;
        }
    }
    return false;
}

void Client::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace peers
