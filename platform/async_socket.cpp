#include "platform/async_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/socket_event_loop.h"
#include "platform/tcp_queues.h"
#include "platform/wsa_error.h"

namespace {
thread_local int t_lastError = 0;

// How long accepting rests after the process ran out of descriptors.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

bool validPort(int port) {
    return port >= 0 && port <= 65535;
}

// Whether new IPv6 sockets take IPv4 too unless told otherwise; read once, since telling
// every socket would cost a call per connection.
bool systemDefaultIsDualStack() {
    static const bool dualStack = [] {
        std::FILE* file = std::fopen("/proc/sys/net/ipv6/bindv6only", "re");
        if (file == nullptr) {
            return false;
        }
        int value = std::fgetc(file);
        std::fclose(file);
        return value == '0';
    }();
    return dualStack;
}

int socketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error;
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

bool CAsyncSocket::requireOpen() {
    if (fd_ < 0) {
        setLastError(WSAENOTSOCK);
        return false;
    }
    return true;
}

int CAsyncSocket::makeSocket(int family, int socketType, bool dualStack) {
    int fd = socket(family, socketType | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && family == AF_INET6 && !(dualStack && systemDefaultIsDualStack())) {
        int v6Only = dualStack ? 0 : 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
    }
    return fd;
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
    // Without an address the socket takes IPv4 and IPv6 alike, where the system has IPv6.
    dualStack_ = bindAddress == nullptr;
    SocketAddress at;
    if (dualStack_) {
        parseNumericAddress("::", port, at);
    } else if (!parseNumericAddress(bindAddress, port, at)) {
        setLastError(WSAEINVAL);
        return false;
    }
    int fd = makeSocket(at.family(), socketType, dualStack_);
    if (fd < 0 && dualStack_ && errno == EAFNOSUPPORT) {
        parseNumericAddress("0.0.0.0", port, at);
        fd = makeSocket(AF_INET, socketType, false);
    }
    if (fd < 0) {
        setLastError(toWsaError(errno));
        return false;
    }
    if (port != 0) {
        // A fixed port may be bound again while old connections on it wait out TIME_WAIT,
        // as the relay expects when it is switched off and on.
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    // Any address and any port is what connect would pick anyway; skip the call.
    if ((port != 0 || !dualStack_) && bind(fd, at.get(), at.length) != 0) {
        setLastError(toWsaError(errno));
        close(fd);
        return false;
    }
    fd_ = fd;
    family_ = at.family();
    // Kept only where a socket made anew for a further address must bind the same way.
    bindAt_ = dualStack_ ? nullptr : std::make_unique<SocketAddress>(at);
    events_ = events;
    loop_ = loop;
    return true;
}

bool CAsyncSocket::registerWithLoop() {
    if (registered_) {
        updateInterest();
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
        setLastError(toWsaError(errno));
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
    failureDelivered_ = false;
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
        // Parked after a hang-up nobody wanted, or a new descriptor: watch what is armed.
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

CAsyncSocket::Dispatch CAsyncSocket::deliver(void (CAsyncSocket::*handler)(int), int code) {
    // The handler may close or destroy this object, or hand its descriptor to another.
    SocketEventLoop* loop = loop_;
    const std::uint64_t id = id_;
    (this->*handler)(code);
    return loop->lookup(id) == this ? Dispatch::Consumed : Dispatch::Gone;
}

void CAsyncSocket::handleEvents(std::uint32_t ev) {
    dispatching_ = true;
    readDrained_ = false;
    urgentSeen_ = urgentSeen_ || (ev & EPOLLPRI) != 0;
    Dispatch done = Dispatch::Idle;
    if (listening_) {
        done = dispatchAccepts(ev);
    } else if (connecting_) {
        done = dispatchConnectResult(ev);
    }
    if (done != Dispatch::Gone && !listening_ && !connecting_) {
        Dispatch streamDone = dispatchStream(ev);
        done = streamDone == Dispatch::Idle ? done : streamDone;
    }
    if (done == Dispatch::Gone) {
        return;
    }
    dispatching_ = false;
    if (done == Dispatch::Idle && (ev & (EPOLLHUP | EPOLLERR)) != 0 && watched_) {
        // A hang-up that no armed notification wants would wake the loop forever.
        loop_->unwatch(fd_);
        watched_ = false;
        return;
    }
    updateInterest();
}

CAsyncSocket::Dispatch CAsyncSocket::dispatchAccepts(std::uint32_t ev) {
    if ((ev & (EPOLLIN | EPOLLERR)) == 0 || !acceptArmed_) {
        return Dispatch::Idle;
    }
    // The first announcement answers the kernel's readiness; each further one is made only
    // for a connection already taken, and only once Accept re-armed it. Looking for a further
    // one costs a call that finds nothing while connections come one at a time, so after
    // the first empty look the burst is one; it grows again while the listener is ready at
    // consecutive fetches (a backlog builds up).
    const std::uint64_t fetch = loop_->fetchCount();
    if (fetch == lastAcceptFetch_ + 1) {
        acceptBurst_ = std::min(acceptBurst_ * 2, kMaxAcceptBurst);
    }
    lastAcceptFetch_ = fetch;
    for (int round = 0; round < acceptBurst_ && acceptArmed_; ++round) {
        if (round > 0 && !takeWaitingConnection()) {
            acceptBurst_ = 1;
            break;
        }
        acceptArmed_ = false;
        if (!wants(FD_ACCEPT)) {
            break;
        }
        if (deliver(&CAsyncSocket::OnAccept, 0) == Dispatch::Gone) {
            return Dispatch::Gone;
        }
    }
    return Dispatch::Consumed;
}

CAsyncSocket::Dispatch CAsyncSocket::dispatchConnectResult(std::uint32_t& ev) {
    if ((ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) {
        return Dispatch::Idle;
    }
    // Only a failed connect raises an error or hang-up; spare the query otherwise.
    int error = 0;
    if ((ev & (EPOLLERR | EPOLLHUP)) != 0) {
        error = socketError(fd_);
        if (error == 0) {
            error = ECONNREFUSED;
        }
    }
    connecting_ = false;
    int result = toWsaError(error);
    if (error != 0 && nextAddress_ < connectAddresses_.size()) {
        result = connectNext();
        if (result == WSAEWOULDBLOCK) {
            return Dispatch::Consumed;
        }
    }
    connectAddresses_.clear();
    if (result != 0) {
        connectedTo_.reset();
    }
    // A completed connect is followed by one OnSend, as after an accept.
    writeArmed_ = result == 0;
    closeDelivered_ = result != 0;
    if (wants(FD_CONNECT) && deliver(&CAsyncSocket::OnConnect, result) == Dispatch::Gone) {
        return Dispatch::Gone;
    }
    if (result == 0) {
        ev |= EPOLLOUT;
    }
    return Dispatch::Consumed;
}

CAsyncSocket::Dispatch CAsyncSocket::dispatchStream(std::uint32_t ev) {
    Dispatch done = Dispatch::Idle;
    if ((ev & EPOLLPRI) != 0 && oobArmed_ && !closeDelivered_) {
        oobArmed_ = false;
        done = Dispatch::Consumed;
        if (wants(FD_OOB) && deliver(&CAsyncSocket::OnOutOfBandData, 0) == Dispatch::Gone) {
            return Dispatch::Gone;
        }
    }
    Dispatch input = dispatchInput(ev);
    if (input == Dispatch::Gone) {
        return Dispatch::Gone;
    }
    done = input == Dispatch::Idle ? done : input;
    if ((ev & EPOLLOUT) != 0 && writeArmed_) {
        writeArmed_ = false;
        done = Dispatch::Consumed;
        if (wants(FD_WRITE) && deliver(&CAsyncSocket::OnSend, 0) == Dispatch::Gone) {
            return Dispatch::Gone;
        }
    }
    if (endFollowsRead(ev)) {
        // Told now rather than after another wake-up and a peek that would find the end.
        closeDelivered_ = true;
        done = Dispatch::Consumed;
        if (wants(FD_CLOSE) && deliver(&CAsyncSocket::OnClose, 0) == Dispatch::Gone) {
            return Dispatch::Gone;
        }
    }
    return done;
}

bool CAsyncSocket::endFollowsRead(std::uint32_t ev) const {
    // The peer's end was in before this wake-up, so a read that came back short took all
    // there was, unless it stopped at an urgent mark.
    // A reset is told by the next wake-up, once nothing is left unread.
    return (ev & (EPOLLRDHUP | EPOLLHUP)) != 0 && (ev & EPOLLERR) == 0 && readDrained_ &&
           !urgentSeen_ && !closeDelivered_;
}

CAsyncSocket::Dispatch CAsyncSocket::deliverFailure(int error) {
    closeDelivered_ = true;
    failureDelivered_ = true;
    if (!wants(FD_CLOSE)) {
        return Dispatch::Consumed;
    }
    return deliver(&CAsyncSocket::OnClose, toWsaError(error != 0 ? error : ECONNRESET));
}

CAsyncSocket::Dispatch CAsyncSocket::dispatchInput(std::uint32_t ev) {
    if (closeDelivered_) {
        // A reset after the peer's end (or after a read saw the end) is still told once.
        if ((ev & EPOLLERR) != 0 && !failureDelivered_) {
            int error = socketError(fd_);
            failureDelivered_ = true;
            if (error != 0 && wants(FD_CLOSE)) {
                return deliver(&CAsyncSocket::OnClose, toWsaError(error));
            }
        }
        return Dispatch::Idle;
    }
    if ((ev & EPOLLERR) != 0 && unreadBytes(fd_) == 0) {
        return deliverFailure(socketError(fd_));
    }
    // A failed socket still holding data is read first: its reads end in the error.
    if (!readArmed_ || (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0) {
        return Dispatch::Idle;
    }
    // After the peer's end, peek to tell data still waiting from the end itself (a byte
    // count would stop at an urgent mark).
    long waiting = 1;
    const bool ownerReadsTheEnd = endThroughReceive_ && wants(FD_READ);
    if ((ev & (EPOLLRDHUP | EPOLLHUP)) != 0 && !ownerReadsTheEnd) {
        char probe = 0;
        waiting = recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (waiting < 0 && errno == EAGAIN) {
            waiting = 1;
        } else if (waiting < 0) {
            // A reset after the end: the peek has taken the error, which is no clean end.
            return deliverFailure(errno);
        }
    }
    if (waiting > 0) {
        readArmed_ = false;
        return wants(FD_READ) ? deliver(&CAsyncSocket::OnReceive, 0) : Dispatch::Consumed;
    }
    // The peer has ended the stream and everything it sent has been read.
    closeDelivered_ = true;
    return wants(FD_CLOSE) ? deliver(&CAsyncSocket::OnClose, 0) : Dispatch::Consumed;
}

void CAsyncSocket::detachFromLoop() {
    registered_ = false;
    watched_ = false;
    loop_ = nullptr;
}

bool CAsyncSocket::Accept(CAsyncSocket& connected, std::string* peerAddress,
                          unsigned int* peerPort) {
    if (!requireOpen()) {
        return false;
    }
    acceptArmed_ = true;
    SocketAddress peer;
    peer.length = sizeof peer.storage;
    int fd = -1;
    if (waitingFd_ >= 0) {
        fd = waitingFd_;
        peer = *waitingPeer_;
        waitingFd_ = -1;
    } else {
        fd = accept4(fd_, peer.get(), &peer.length, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
    connected.family_ = family_;
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
        addressToText(peer, *peerAddress, *peerPort);
    }
    return true;
}

bool CAsyncSocket::takeWaitingConnection() {
    if (waitingFd_ >= 0) {
        return true;
    }
    if (!waitingPeer_) {
        waitingPeer_ = std::make_unique<SocketAddress>();
    }
    waitingPeer_->length = sizeof waitingPeer_->storage;
    waitingFd_ =
        accept4(fd_, waitingPeer_->get(), &waitingPeer_->length, SOCK_NONBLOCK | SOCK_CLOEXEC);
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

void CAsyncSocket::TakeOver(CAsyncSocket& other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    family_ = other.family_;
    loop_ = other.loop_;
    id_ = other.id_;
    registered_ = std::exchange(other.registered_, false);
    watched_ = std::exchange(other.watched_, false);
    interest_ = other.interest_;
    closeDelivered_ = other.closeDelivered_;
    failureDelivered_ = other.failureDelivered_;
    urgentSeen_ = other.urgentSeen_;
    bytesRead_ = other.bytesRead_;
    readArmed_ = true;
    if (registered_) {
        loop_->replaceSocket(id_, this);
    }
    other.Close();
    updateInterest();
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
    bytesRead_ = 0;
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
    failureDelivered_ = false;
    sendPosted_ = false;
    dispatching_ = false;
    urgentSeen_ = false;
    readDrained_ = false;
    connectAddresses_.clear();
    connectedTo_.reset();
}

int CAsyncSocket::receiveResult(long received, int error, int asked) {
    readDrained_ = received > 0 && received < asked;
    // The owner has seen the end of the stream itself; a later OnClose would repeat it.
    if (received == 0 && asked > 0) {
        closeDelivered_ = true;
    }
    if (received < 0 && error != EAGAIN && error != EINTR) {
        // The read took the socket's error: the owner has it, OnClose would repeat it.
        closeDelivered_ = true;
        failureDelivered_ = true;
    }
    updateInterest();
    if (received < 0) {
        setLastError(toWsaError(error));
        return SOCKET_ERROR;
    }
    return static_cast<int>(received);
}

int CAsyncSocket::Receive(void* buffer, int length, int flags) {
    if (!requireOpen()) {
        return SOCKET_ERROR;
    }
    if ((flags & MSG_OOB) != 0) {
        oobArmed_ = true;
    } else {
        readArmed_ = true;
    }
    ssize_t n = recv(fd_, buffer, static_cast<size_t>(length < 0 ? 0 : length), flags);
    if (n > 0 && (flags & MSG_PEEK) == 0) {
        bytesRead_ += static_cast<std::uint64_t>(n);
    }
    int result = receiveResult(n, errno, length);
    if (flags != 0) {
        readDrained_ = false;  // a peek or urgent byte leaves the stream as it was
    }
    return result;
}

int CAsyncSocket::ReceiveInto(void* first, int firstLength, void* second, int secondLength) {
    if (!requireOpen()) {
        return SOCKET_ERROR;
    }
    readArmed_ = true;
    iovec parts[2] = {{first, static_cast<size_t>(firstLength)},
                      {second, static_cast<size_t>(secondLength)}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = secondLength > 0 ? 2 : 1;
    ssize_t n = recvmsg(fd_, &message, 0);
    if (n > 0) {
        bytesRead_ += static_cast<std::uint64_t>(n);
    }
    return receiveResult(n, errno, firstLength + secondLength);
}

void CAsyncSocket::ResumeReceive() {
    if (fd_ < 0) {
        return;
    }
    readArmed_ = true;
    updateInterest();
}

int CAsyncSocket::finishSend(long sent, int error, long asked) {
    if (sent == 0 && asked > 0) {
        // Nothing taken is a full socket by another name: wait for room rather than spin.
        sent = -1;
        error = EAGAIN;
    }
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
    if (!requireOpen()) {
        return SOCKET_ERROR;
    }
    // A peer that has gone must give an error here, never SIGPIPE.
    ssize_t n =
        send(fd_, buffer, static_cast<size_t>(length < 0 ? 0 : length), flags | MSG_NOSIGNAL);
    return finishSend(n, errno, length);
}

int CAsyncSocket::SendFrom(const void* first, int firstLength, const void* second,
                           int secondLength) {
    if (!requireOpen()) {
        return SOCKET_ERROR;
    }
    iovec parts[2] = {{const_cast<void*>(first), static_cast<size_t>(firstLength)},
                      {const_cast<void*>(second), static_cast<size_t>(secondLength)}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = secondLength > 0 ? 2 : 1;
    ssize_t n = sendmsg(fd_, &message, MSG_NOSIGNAL);
    return finishSend(n, errno, firstLength + secondLength);
}

bool CAsyncSocket::Connect(const char* host, int port) {
    if (!requireOpen()) {
        return false;
    }
    std::vector<SocketAddress> addresses;
    int error = systemLookup(host != nullptr ? host : "", port, addresses);
    if (error != 0) {
        setLastError(error);
        return false;
    }
    return ConnectTo(addresses);
}

bool CAsyncSocket::openDescriptor(int family) {
    if (bindAt_ && bindAt_->family() != family) {
        setLastError(WSAEAFNOSUPPORT);
        return false;
    }
    int fd = makeSocket(family, SOCK_STREAM, false);
    if (fd < 0) {
        setLastError(toWsaError(errno));
        return false;
    }
    if (bindAt_ && bind(fd, bindAt_->get(), bindAt_->length) != 0) {
        setLastError(toWsaError(errno));
        close(fd);
        return false;
    }
    // The old descriptor leaves the epoll set as it closes; the registration stays.
    close(fd_);
    fd_ = fd;
    family_ = family;
    dualStack_ = false;
    watched_ = false;
    return true;
}

int CAsyncSocket::connectNext() {
    int result = WSAECONNREFUSED;
    while (nextAddress_ < connectAddresses_.size()) {
        SocketAddress target = connectAddresses_[nextAddress_];
        // A socket whose connect failed is not used for another; the first try uses Create's,
        // which reaches an IPv4 address as a mapped one when it takes both families.
        bool mapped = family_ == AF_INET6 && dualStack_ && target.family() == AF_INET;
        bool fresh = nextAddress_ == 0 && (target.family() == family_ || mapped);
        ++nextAddress_;
        if (fresh && mapped) {
            target = mappedToIpv6(target);
        }
        if (!fresh && !openDescriptor(target.family())) {
            result = WSAGetLastError();
            continue;
        }
        connectedTo_ = std::make_unique<SocketAddress>(target);
        if (connect(fd_, target.get(), target.length) == 0) {
            return 0;
        }
        if (errno == EINPROGRESS) {
            connecting_ = true;
            return WSAEWOULDBLOCK;
        }
        result = toWsaError(errno);
    }
    return result;
}

bool CAsyncSocket::ConnectTo(const std::vector<SocketAddress>& addresses) {
    if (!requireOpen()) {
        return false;
    }
    if (addresses.empty()) {
        setLastError(WSAEINVAL);
        return false;
    }
    connectAddresses_ = addresses;
    nextAddress_ = 0;
    readArmed_ = true;
    oobArmed_ = true;
    int result = connectNext();
    if (result != 0 && result != WSAEWOULDBLOCK) {
        connectAddresses_.clear();
        connectedTo_.reset();
        readArmed_ = false;
        oobArmed_ = false;
        setLastError(result);
        return false;
    }
    if (!registerWithLoop()) {
        connecting_ = false;
        return false;
    }
    if (result == 0) {
        connectAddresses_.clear();
        postFirstSend();
        return true;
    }
    setLastError(WSAEWOULDBLOCK);
    return false;
}

bool CAsyncSocket::Listen(int backlog) {
    if (!requireOpen()) {
        return false;
    }
    // Accepted connections inherit address reuse, so those still closing never keep the
    // port from being listened on again.
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (listen(fd_, backlog) != 0) {
        setLastError(toWsaError(errno));
        return false;
    }
    listening_ = true;
    acceptArmed_ = true;
    return registerWithLoop();
}

bool CAsyncSocket::ShutDown(int how) {
    if (!requireOpen()) {
        return false;
    }
    if (shutdown(fd_, how) != 0) {
        setLastError(toWsaError(errno));
        return false;
    }
    return true;
}

bool CAsyncSocket::SetResetOnClose() {
    linger reset{1, 0};
    return SetSockOpt(SO_LINGER, &reset, sizeof reset);
}

bool CAsyncSocket::SetKeepAlive(int idleSeconds, int intervalSeconds, int probes) {
    int on = 1;
    // Each is tried, as before, even when an earlier one failed.
    bool all = SetSockOpt(SO_KEEPALIVE, &on, sizeof on);
    all = SetSockOpt(TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds, IPPROTO_TCP) && all;
    all = SetSockOpt(TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds, IPPROTO_TCP) && all;
    return SetSockOpt(TCP_KEEPCNT, &probes, sizeof probes, IPPROTO_TCP) && all;
}

bool CAsyncSocket::SetSockOpt(int option, const void* value, int length, int level) {
    if (!requireOpen()) {
        return false;
    }
    if (setsockopt(fd_, level, option, value, static_cast<socklen_t>(length)) != 0) {
        setLastError(toWsaError(errno));
        return false;
    }
    return true;
}

bool CAsyncSocket::GetPeerName(std::string& address, unsigned int& port) const {
    SocketAddress peer;
    peer.length = sizeof peer.storage;
    if (fd_ < 0 || getpeername(fd_, peer.get(), &peer.length) != 0) {
        t_lastError = fd_ < 0 ? WSAENOTSOCK : toWsaError(errno);
        return false;
    }
    return addressToText(peer, address, port);
}

bool CAsyncSocket::ConnectedPeer(std::string& address, unsigned int& port) const {
    if (fd_ < 0 || connecting_ || !connectedTo_) {
        return false;
    }
    return addressToText(*connectedTo_, address, port);
}

bool CAsyncSocket::GetSockName(std::string& address, unsigned int& port) const {
    SocketAddress local;
    local.length = sizeof local.storage;
    if (fd_ < 0 || getsockname(fd_, local.get(), &local.length) != 0) {
        t_lastError = fd_ < 0 ? WSAENOTSOCK : toWsaError(errno);
        return false;
    }
    return addressToText(local, address, port);
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}
