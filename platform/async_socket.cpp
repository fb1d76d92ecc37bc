#include "platform/async_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/socket_event_loop.h"
#include "platform/wsa_error.h"

namespace {
thread_local int t_lastError = 0;

// How long accepting rests after the process ran out of descriptors.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
// Connections announced per wake-up of a listening socket: under a storm of short
// connections one per wake-up would make every connection cost a trip through the loop.
constexpr int kAcceptsPerWake = 16;

bool parseDottedQuad(const char* text, in_addr& out) {
    return text != nullptr && inet_pton(AF_INET, text, &out) == 1;
}

bool resolveIpv4(const char* host, in_addr& out) {
    if (parseDottedQuad(host, out)) {
        return true;
    }
    if (host == nullptr || *host == '\0') {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

bool toText(const sockaddr_in& address, std::string& text, unsigned int& port) {
    char buffer[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address.sin_addr, buffer, sizeof buffer) == nullptr) {
        return false;
    }
    text = buffer;
    port = ntohs(address.sin_port);
    return true;
}

bool validPort(int port) {
    return port >= 0 && port <= 65535;
}
}  // namespace

int WSAGetLastError() {
    return t_lastError;
}

CAsyncSocket::CAsyncSocket() = default;

CAsyncSocket::~CAsyncSocket() {
    CAsyncSocket::Close();
}

void CAsyncSocket::setLastError(int wsaError) {
    t_lastError = wsaError;
}

void CAsyncSocket::failWithErrno() {
    t_lastError = toWsaError(errno);
}

bool CAsyncSocket::Create(int port, int socketType, long events, const char* bindAddress) {
    SocketEventLoop* loop = SocketEventLoop::current();
    if (loop == nullptr || !loop->isOpen()) {
        setLastError(WSANOTINITIALISED);
        return false;
    }
    if (fd_ >= 0 || !validPort(port)) {
        setLastError(WSAEINVAL);
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bindAddress != nullptr && !parseDottedQuad(bindAddress, address.sin_addr)) {
        setLastError(WSAEINVAL);
        return false;
    }
    int fd = socket(AF_INET, socketType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failWithErrno();
        return false;
    }
    if (port != 0) {
        // A fixed port may be bound again while old connections on it wait out TIME_WAIT,
        // as the relay expects when it is switched off and on.
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    // Any address and any port is what connect would pick anyway; skip the call.
    bool needsBind = port != 0 || bindAddress != nullptr;
    if (needsBind && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        failWithErrno();
        close(fd);
        return false;
    }
    fd_ = fd;
    events_ = events;
    loop_ = loop;
    return true;
}

bool CAsyncSocket::registerWithLoop() {
    if (registered_) {
        return true;
    }
    if (loop_ == nullptr) {
        loop_ = SocketEventLoop::current();
    }
    if (loop_ == nullptr || !loop_->isOpen()) {
        setLastError(WSANOTINITIALISED);
        return false;
    }
    id_ = loop_->registerSocket(this);
    registered_ = true;
    interest_ = wantedEvents();
    watched_ = loop_->watch(id_, fd_, interest_);
    if (!watched_) {
        failWithErrno();
        loop_->unregisterSocket(id_);
        registered_ = false;
        return false;
    }
    return true;
}

bool CAsyncSocket::attachDescriptor(int fd) {
    fd_ = fd;
    readArmed_ = true;
    oobArmed_ = true;
    closeDelivered_ = false;
    if (!registerWithLoop()) {
        return false;
    }
    postFirstSend();
    return true;
}

void CAsyncSocket::postFirstSend() {
    writeArmed_ = true;
    sendPosted_ = true;
    loop_->postWritable(id_);
}

void CAsyncSocket::deliverPostedSend() {
    if (!sendPosted_) {
        return;
    }
    sendPosted_ = false;
    handleEvents(EPOLLOUT);
}

std::uint32_t CAsyncSocket::wantedEvents() const {
    if (listening_) {
        return acceptArmed_ ? static_cast<std::uint32_t>(EPOLLIN) : 0U;
    }
    if (connecting_) {
        return EPOLLOUT;
    }
    std::uint32_t events = 0;
    if (!closeDelivered_) {
        if (readArmed_) {
            events |= EPOLLIN | EPOLLRDHUP;
        }
        if (oobArmed_) {
            events |= EPOLLPRI;
        }
    }
    if (writeArmed_ && !sendPosted_) {
        events |= EPOLLOUT;
    }
    return events;
}

void CAsyncSocket::updateInterest() {
    if (!registered_ || dispatching_) {
        return;
    }
    std::uint32_t wanted = wantedEvents();
    if (!watched_) {
        // Parked after a hang-up nobody wanted; come back only for something armed.
        if (wanted != 0) {
            watched_ = loop_->watch(id_, fd_, wanted);
            interest_ = wanted;
        }
        return;
    }
    if (wanted != interest_ && loop_->rewatch(id_, fd_, wanted)) {
        interest_ = wanted;
    }
}

bool CAsyncSocket::stillAlive(std::uint64_t id) const {
    return loop_ != nullptr && loop_->lookup(id) == this;
}

void CAsyncSocket::handleEvents(std::uint32_t ev) {
    const std::uint64_t id = id_;
    SocketEventLoop* loop = loop_;
    auto gone = [&] { return loop->lookup(id) != this; };
    bool consumed = false;
    dispatching_ = true;

    if (listening_) {
        if ((ev & (EPOLLIN | EPOLLERR)) != 0 && acceptArmed_) {
            consumed = true;
            // The first announcement answers the kernel's readiness; each further one is
            // made only for a connection already taken, and only once Accept re-armed it.
            for (int round = 0; round < kAcceptsPerWake && acceptArmed_; ++round) {
                if (round > 0 && !takeWaitingConnection()) {
                    break;
                }
                acceptArmed_ = false;
                if (!wants(FD_ACCEPT)) {
                    break;
                }
                OnAccept(0);
                if (gone()) {
                    return;
                }
            }
        }
    } else if (connecting_) {
        if ((ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
            // Only a failed connect raises an error or hang-up; spare the query otherwise.
            int error = 0;
            if ((ev & (EPOLLERR | EPOLLHUP)) != 0) {
                socklen_t length = sizeof error;
                getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error == 0) {
                    error = ECONNREFUSED;
                }
            }
            connecting_ = false;
            consumed = true;
            // A completed connect is followed by one OnSend, as after an accept.
            writeArmed_ = error == 0;
            closeDelivered_ = error != 0;
            if (wants(FD_CONNECT)) {
                OnConnect(toWsaError(error));
                if (gone()) {
                    return;
                }
            }
            if (error == 0) {
                ev |= EPOLLOUT;
            }
        }
    }
    if (!listening_ && !connecting_) {
        if ((ev & EPOLLPRI) != 0 && oobArmed_ && !closeDelivered_) {
            oobArmed_ = false;
            consumed = true;
            if (wants(FD_OOB)) {
                OnOutOfBandData(0);
                if (gone()) {
                    return;
                }
            }
        }
        if (!closeDelivered_ && (ev & EPOLLERR) != 0) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
            closeDelivered_ = true;
            consumed = true;
            if (wants(FD_CLOSE)) {
                OnClose(toWsaError(error != 0 ? error : ECONNRESET));
                if (gone()) {
                    return;
                }
            }
        } else if (!closeDelivered_ && readArmed_ &&
                   (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) != 0) {
            // After the peer's end, peek to tell data still waiting from the end itself
            // (a byte count would stop at an urgent mark).
            long waiting = 1;
            if ((ev & (EPOLLRDHUP | EPOLLHUP)) != 0) {
                char probe = 0;
                waiting = recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
                if (waiting < 0 && errno == EAGAIN) {
                    waiting = 1;
                }
            }
            consumed = true;
            if (waiting > 0) {
                readArmed_ = false;
                if (wants(FD_READ)) {
                    OnReceive(0);
                }
            } else {
                // The peer has ended the stream and everything it sent has been read.
                closeDelivered_ = true;
                if (wants(FD_CLOSE)) {
                    OnClose(0);
                }
            }
            if (gone()) {
                return;
            }
        }
        if ((ev & EPOLLOUT) != 0 && writeArmed_) {
            writeArmed_ = false;
            consumed = true;
            if (wants(FD_WRITE)) {
                OnSend(0);
                if (gone()) {
                    return;
                }
            }
        }
    }

    dispatching_ = false;
    if (!consumed && (ev & (EPOLLHUP | EPOLLERR)) != 0 && watched_) {
        // A hang-up that no armed notification wants would wake the loop forever.
        loop_->unwatch(fd_);
        watched_ = false;
        return;
    }
    updateInterest();
}

void CAsyncSocket::detachFromLoop() {
    registered_ = false;
    watched_ = false;
    loop_ = nullptr;
}

bool CAsyncSocket::Accept(CAsyncSocket& connected, std::string* peerAddress,
                          unsigned int* peerPort) {
    if (fd_ < 0) {
        setLastError(WSAENOTSOCK);
        return false;
    }
    acceptArmed_ = true;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int fd = -1;
    if (waitingFd_ >= 0) {
        fd = waitingFd_;
        peer = waitingPeer_;
        waitingFd_ = -1;
    } else {
        fd =
            accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    }
    if (fd < 0) {
        int error = errno;
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            pauseAccepting();
        }
        updateInterest();
        setLastError(error == EAGAIN ? WSAEWOULDBLOCK : toWsaError(error));
        return false;
    }
    updateInterest();
    if (connected.fd_ >= 0) {
        connected.Close();
    }
    connected.events_ = events_;
    if (connected.loop_ == nullptr) {
        connected.loop_ = loop_;
    }
    if (!connected.attachDescriptor(fd)) {
        int error = WSAGetLastError();
        connected.Close();
        setLastError(error);
        return false;
    }
    if (peerAddress != nullptr && peerPort != nullptr) {
        toText(peer, *peerAddress, *peerPort);
    }
    return true;
}

bool CAsyncSocket::takeWaitingConnection() {
    if (waitingFd_ >= 0) {
        return true;
    }
    socklen_t length = sizeof waitingPeer_;
    waitingFd_ = accept4(fd_, reinterpret_cast<sockaddr*>(&waitingPeer_), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
    // Nothing waiting, or an error that Accept meets again on the next wake-up.
    return waitingFd_ >= 0;
}

void CAsyncSocket::pauseAccepting() {
    // Out of descriptors: waiting connections stay in the backlog and accepting rests
    // for a moment instead of waking the loop over and over.
    acceptArmed_ = false;
    SocketEventLoop* loop = loop_;
    std::uint64_t id = id_;
    loop->runAfter(kAcceptRetryDelay, [loop, id] {
        CAsyncSocket* socket = loop->lookup(id);
        if (socket != nullptr && socket->listening_) {
            socket->acceptArmed_ = true;
            socket->updateInterest();
        }
    });
}

void CAsyncSocket::Close() {
    if (registered_ && loop_ != nullptr) {
        // Closing the descriptor takes it out of the epoll set by itself.
        loop_->unregisterSocket(id_);
    }
    if (fd_ >= 0) {
        close(fd_);
    }
    if (waitingFd_ >= 0) {
        close(waitingFd_);  // its client sees a reset, as at any listener that closes
        waitingFd_ = -1;
    }
    fd_ = -1;
    registered_ = false;
    watched_ = false;
    interest_ = 0;
    id_ = 0;
    listening_ = false;
    connecting_ = false;
    readArmed_ = false;
    writeArmed_ = false;
    oobArmed_ = false;
    acceptArmed_ = false;
    closeDelivered_ = false;
    sendPosted_ = false;
    dispatching_ = false;
}

int CAsyncSocket::Receive(void* buffer, int length, int flags) {
    if (fd_ < 0) {
        setLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    if ((flags & MSG_OOB) != 0) {
        oobArmed_ = true;
    } else {
        readArmed_ = true;
    }
    ssize_t n = recv(fd_, buffer, static_cast<size_t>(length < 0 ? 0 : length), flags);
    int error = errno;
    noteEndOfStream(n, length);
    updateInterest();
    if (n < 0) {
        setLastError(toWsaError(error));
        return SOCKET_ERROR;
    }
    return static_cast<int>(n);
}

int CAsyncSocket::ReceiveInto(void* first, int firstLength, void* second, int secondLength) {
    if (fd_ < 0) {
        setLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    readArmed_ = true;
    iovec parts[2] = {{first, static_cast<size_t>(firstLength)},
                      {second, static_cast<size_t>(secondLength)}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = secondLength > 0 ? 2 : 1;
    ssize_t n = recvmsg(fd_, &message, 0);
    int error = errno;
    noteEndOfStream(n, firstLength + secondLength);
    updateInterest();
    if (n < 0) {
        setLastError(toWsaError(error));
        return SOCKET_ERROR;
    }
    return static_cast<int>(n);
}

void CAsyncSocket::noteEndOfStream(long received, int asked) {
    // The owner has seen the end of the stream itself; a later OnClose would repeat it.
    if (received == 0 && asked > 0) {
        closeDelivered_ = true;
    }
}

void CAsyncSocket::ResumeReceive() {
    if (fd_ < 0) {
        return;
    }
    readArmed_ = true;
    updateInterest();
}

int CAsyncSocket::finishSend(long sent, int error) {
    if (sent < 0) {
        if (error == EPIPE && !registered_) {
            error = ENOTCONN;  // never connected, as opposed to a peer that has gone
        }
        if (error == EAGAIN) {
            writeArmed_ = true;
            updateInterest();
        }
        setLastError(toWsaError(error));
        return SOCKET_ERROR;
    }
    return static_cast<int>(sent);
}

int CAsyncSocket::Send(const void* buffer, int length, int flags) {
    if (fd_ < 0) {
        setLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    // A peer that has gone must give an error here, never SIGPIPE.
    ssize_t n =
        send(fd_, buffer, static_cast<size_t>(length < 0 ? 0 : length), flags | MSG_NOSIGNAL);
    return finishSend(n, errno);
}

int CAsyncSocket::SendFrom(const void* first, int firstLength, const void* second,
                           int secondLength) {
    if (fd_ < 0) {
        setLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    iovec parts[2] = {{const_cast<void*>(first), static_cast<size_t>(firstLength)},
                      {const_cast<void*>(second), static_cast<size_t>(secondLength)}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = secondLength > 0 ? 2 : 1;
    ssize_t n = sendmsg(fd_, &message, MSG_NOSIGNAL);
    return finishSend(n, errno);
}

bool CAsyncSocket::Connect(const char* host, int port) {
    if (fd_ < 0) {
        setLastError(WSAENOTSOCK);
        return false;
    }
    in_addr target{};
    if (!validPort(port) || !resolveIpv4(host, target)) {
        setLastError(WSAEINVAL);
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr = target;
    readArmed_ = true;
    oobArmed_ = true;
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        if (!registerWithLoop()) {
            return false;
        }
        postFirstSend();
        return true;
    }
    int error = errno;
    if (error != EINPROGRESS) {
        readArmed_ = false;
        oobArmed_ = false;
        setLastError(toWsaError(error));
        return false;
    }
    connecting_ = true;
    if (!registerWithLoop()) {
        connecting_ = false;
        return false;
    }
    setLastError(WSAEWOULDBLOCK);
    return false;
}

bool CAsyncSocket::Listen(int backlog) {
    if (fd_ < 0) {
        setLastError(WSAENOTSOCK);
        return false;
    }
    if (listen(fd_, backlog) != 0) {
        failWithErrno();
        return false;
    }
    listening_ = true;
    acceptArmed_ = true;
    if (registered_) {
        updateInterest();
        return true;
    }
    return registerWithLoop();
}

bool CAsyncSocket::ShutDown(int how) {
    if (fd_ < 0) {
        setLastError(WSAENOTSOCK);
        return false;
    }
    if (shutdown(fd_, how) != 0) {
        failWithErrno();
        return false;
    }
    return true;
}

bool CAsyncSocket::SetSockOpt(int option, const void* value, int length, int level) {
    if (fd_ < 0) {
        setLastError(WSAENOTSOCK);
        return false;
    }
    if (setsockopt(fd_, level, option, value, static_cast<socklen_t>(length)) != 0) {
        failWithErrno();
        return false;
    }
    return true;
}

bool CAsyncSocket::GetPeerName(std::string& address, unsigned int& port) const {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (fd_ < 0 || getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        t_lastError = fd_ < 0 ? WSAENOTSOCK : toWsaError(errno);
        return false;
    }
    return toText(peer, address, port);
}

bool CAsyncSocket::GetSockName(std::string& address, unsigned int& port) const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        t_lastError = fd_ < 0 ? WSAENOTSOCK : toWsaError(errno);
        return false;
    }
    return toText(local, address, port);
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}
