#include "platform/datagram_socket.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/wsa_error.h"

namespace {
int makeDatagramSocket(int family, bool v6Only) {
    int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && family == AF_INET6) {
        int only = v6Only ? 1 : 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    return fd;
}

}  // namespace

DatagramSocket::~DatagramSocket() {
    close();
}

bool DatagramSocket::fail(int errnoValue) {
    error_ = toWsaError(errnoValue);
    return false;
}

bool DatagramSocket::attach(int fd, int family, DatagramSocketHandler* handler) {
    loop_ = SocketEventLoop::current();
    if (loop_ == nullptr || !loop_->isOpen()) {
        ::close(fd);
        loop_ = nullptr;
        error_ = WSANOTINITIALISED;
        return false;
    }
    fd_ = fd;
    family_ = family;
    handler_ = handler;
    id_ = loop_->registerHandler(this);
    if (!loop_->watch(id_, fd_, EPOLLIN)) {
        int error = errno;
        close();
        return fail(error);
    }
    return true;
}

bool DatagramSocket::bind(int port, const char* bindAddress, DatagramSocketHandler* handler) {
    if (fd_ >= 0 || port < 0 || port > 65535) {
        return fail(EINVAL);
    }
    SocketAddress at;
    const bool any = bindAddress == nullptr;
    if (!parseNumericAddress(any ? "::" : bindAddress, port, at)) {
        return fail(EINVAL);
    }
    // No SO_REUSEADDR: on UDP it would let a second socket share the port silently.
    int fd = makeDatagramSocket(at.family(), !any);
    if (fd < 0 && any && errno == EAFNOSUPPORT) {
        parseNumericAddress("0.0.0.0", port, at);
        fd = makeDatagramSocket(AF_INET, false);
    }
    if (fd < 0) {
        return fail(errno);
    }
    if (::bind(fd, at.get(), at.length) != 0) {
        int error = errno;
        ::close(fd);
        return fail(error);
    }
    return attach(fd, at.family(), handler);
}

bool DatagramSocket::connect(const SocketAddress& destination, DatagramSocketHandler* handler) {
    if (fd_ >= 0) {
        return fail(EINVAL);
    }
    int fd = makeDatagramSocket(destination.family(), true);
    if (fd < 0) {
        return fail(errno);
    }
    if (::connect(fd, destination.get(), destination.length) != 0) {
        int error = errno;
        ::close(fd);
        return fail(error);
    }
    return attach(fd, destination.family(), handler);
}

void DatagramSocket::close() {
    if (loop_ != nullptr && id_ != 0) {
        // Closing the descriptor takes it out of the epoll set by itself.
        loop_->unregisterSocket(id_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    id_ = 0;
    loop_ = nullptr;
    pktInfo_ = false;
}

void DatagramSocket::setBufferSizes(int bytes) {
    if (fd_ >= 0) {
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
}

unsigned DatagramSocket::discardWaiting(unsigned most) {
    unsigned dropped = 0;
    char byte = 0;
    for (unsigned tries = 0; tries < most && fd_ >= 0; ++tries) {
        // MSG_TRUNC: the whole datagram goes, however long, into one byte of room.
        if (recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_TRUNC) < 0 &&
            (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        ++dropped;
    }
    return dropped;
}

bool DatagramSocket::receiveLocalAddresses() {
    int on = 1;
    pktInfo_ = fd_ >= 0 && (family_ == AF_INET6
                                ? setsockopt(fd_, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on)
                                : setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on)) == 0;
    return pktInfo_;
}

bool DatagramSocket::localName(SocketAddress& out) const {
    out.length = sizeof out.storage;
    return fd_ >= 0 && getsockname(fd_, out.get(), &out.length) == 0;
}

bool DatagramSocket::peerName(SocketAddress& out) const {
    out.length = sizeof out.storage;
    return fd_ >= 0 && getpeername(fd_, out.get(), &out.length) == 0;
}

void DatagramSocket::sendNow(const void* data, std::size_t length) {
    send(fd_, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void DatagramSocket::handleLoopEvents(std::uint32_t epollEvents) {
    // The handler may close or destroy this socket: look it up again after each call.
    SocketEventLoop* loop = loop_;
    const std::uint64_t id = id_;
    if ((epollEvents & EPOLLERR) != 0) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            handler_->onDatagramError(*this, toWsaError(error));
            if (loop->lookupHandler(id) != this) {
                return;
            }
        }
    }
    if ((epollEvents & EPOLLIN) != 0) {
        handler_->onDatagramsReady(*this);
    }
}

void DatagramSocket::detachFromLoop() {
    loop_ = nullptr;
    id_ = 0;
}
