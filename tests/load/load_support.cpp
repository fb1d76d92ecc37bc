#include "tests/load/load_support.h"

#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/socket_event_loop.h"
#include "platform/trace.h"
#include "relay/lingering_closer.h"
#include "relay/tcp_repeater.h"
#include "tests/support/loopback.h"
#include "tests/support/test_forward.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define TARNWICK_LOAD_ASAN 1
// The sanitizer's allocator replaces malloc's books; GCC ships no header for this one.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace load {

namespace {

// What a child sends once it is ready.
struct Ready {
    int count = 0;
    int ports[kMaxRepeaters] = {};
    long openFiles = 0;
};

// Requests to a child: one command byte, then an optional value.
struct Request {
    char command = 0;
    long value = 0;
};

// Reads one request without waiting; false when the parent has gone or asked to quit.
bool nextRequest(int control, Request& request, bool& have) {
    have = false;
    ssize_t n = recv(control, &request, sizeof request, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        return false;
    }
    have = n > 0;
    return !have || request.command != 'q';
}

RelayStats collect(const std::vector<std::unique_ptr<CTcpRepeater>>& repeaters) {
    RelayStats stats;
    stats.repeaters = static_cast<int>(repeaters.size());
    for (std::size_t i = 0; i < repeaters.size(); ++i) {
        CTcpRepeater& repeater = *repeaters[i];
        int cursor = 0;
        while (CTcpSockPair* pair = repeater.getNextPair(cursor)) {
            ++stats.pairs[i];
            for (const CTcpSockStream* stream :
                 {pair->acceptSocket.get(), pair->connectSocket.get()}) {
                stats.fullQueues += stream->getSendFreeSize() == 0 ? 1 : 0;
                stats.queuedBytes += stream->queuedBytes();
            }
        }
        stats.connections[i] = repeater.connectionCount();
        stats.listening[i] = repeater.isListening() ? 1 : 0;
        stats.lingering += static_cast<int>(repeater.getLingeringCount());
    }
    stats.descriptors = openDescriptors();
    stats.heapBytes = static_cast<long long>(heapInUse());
    stats.openFilesLimit = figures::openFilesLimit();
    stats.cpuSeconds = cpuSeconds();
    return stats;
}

// 0 when the relay's own allocations were all given back (checked only under the sanitizer).
int leakCheck() {
#ifdef TARNWICK_LOAD_ASAN
    return __lsan_do_recoverable_leak_check() != 0 ? 3 : 0;
#else
    return 0;
#endif
}

// The repeater's listening socket is its own; it is found by its port.
void setListenerSendBuffer(int port, int size) {
    for (int fd : figures::openDescriptorList()) {
        int listening = 0;
        socklen_t flagLength = sizeof listening;
        if (loopback::localPort(fd) == port &&
            getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagLength) == 0 &&
            listening != 0) {
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        }
    }
}

// UBSan checks each polymorphic type the first time it meets one, and that check needs a
// free descriptor: meet the relay's types while there are some, or the check itself fails.
void meetTypesBeforeRunningOut() {
#ifdef TARNWICK_LOAD_ASAN
    LingeringCloser closer;
    LingeringSocket socket(closer, 0, SendRing{});
    socket.OnClose(0);
#endif
}

int runRelay(int control, const std::vector<RelayTarget>& targets, long openFiles) {
    long limit = openFiles > 0 ? setOpenFiles(openFiles) : figures::openFilesLimit();
    setTraceEnabled(false);
    {
        SocketEventLoop loop;
        std::vector<std::unique_ptr<CTcpRepeater>> repeaters;
        Ready ready;
        for (const RelayTarget& target : targets) {
            if (repeaters.size() == kMaxRepeaters) {
                break;
            }
            auto repeater = std::make_unique<CTcpRepeater>();
            ForwardConfig config = testForward(0, target.host, target.port);
            config.bufferSizeKb = target.bufferKb;
            repeater->configure(config);
            repeater->start();
            int port = static_cast<int>(repeater->listenPort());
            if (target.acceptedSendBuffer > 0) {
                setListenerSendBuffer(port, target.acceptedSendBuffer);
            }
            ready.ports[ready.count++] = port;
            repeaters.push_back(std::move(repeater));
        }
        ready.openFiles = limit;
        send(control, &ready, sizeof ready, MSG_NOSIGNAL);

        bool quit = false;
        loop.runUntil(
            [&] {
                Request request;
                bool have = false;
                quit = !nextRequest(control, request, have);
                if (have && request.command == 's') {
                    RelayStats stats = collect(repeaters);
                    send(control, &stats, sizeof stats, MSG_NOSIGNAL);
                } else if (have && request.command == 'L') {
                    meetTypesBeforeRunningOut();
                    long now = setOpenFiles(request.value);
                    send(control, &now, sizeof now, MSG_NOSIGNAL);
                }
                return quit;
            },
            std::chrono::hours(24));
    }
    return leakCheck();
}

int runEcho(int control, long openFiles) {
    long limit = openFiles > 0 ? setOpenFiles(openFiles) : figures::openFilesLimit();
    Poller poller;
    EchoServer server(poller);
    Ready ready;
    ready.count = 1;
    ready.ports[0] = server.port();
    ready.openFiles = limit;
    send(control, &ready, sizeof ready, MSG_NOSIGNAL);
    Request request;
    bool have = false;
    while (nextRequest(control, request, have)) {
        poller.poll(20ms);
    }
    return 0;
}

}  // namespace

bool fullForm() {
    const char* form = std::getenv("TARNWICK_LOAD");
    return form != nullptr && std::strcmp(form, "full") == 0;
}

std::uint64_t heapInUse() {
#ifdef TARNWICK_LOAD_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return figures::sortedPercentile(values, fraction);
}

int listenOn(int& port, int backlog) {
    int fd = loopback::listenAny(port, backlog);
    if (fd >= 0) {
        loopback::setNonBlocking(fd);
    }
    return fd;
}

// ---- Poller

Poller::Poller() : epollFd_(epoll_create1(EPOLL_CLOEXEC)) {}

Poller::~Poller() {
    if (epollFd_ >= 0) {
        close(epollFd_);
    }
}

std::uint64_t Poller::add(int fd, std::uint32_t events, Handler handler) {
    std::uint64_t token = nextToken_++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = token;
    if (fd < 0 || epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        return 0;
    }
    entries_.emplace(token, Entry{fd, std::move(handler)});
    return token;
}

void Poller::modify(std::uint64_t token, std::uint32_t events) {
    auto it = entries_.find(token);
    if (it == entries_.end()) {
        return;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = token;
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, it->second.fd, &ev);
}

void Poller::remove(std::uint64_t token) {
    auto it = entries_.find(token);
    if (it == entries_.end()) {
        return;
    }
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, it->second.fd, nullptr);
    entries_.erase(it);
}

int Poller::poll(std::chrono::milliseconds timeout) {
    std::array<epoll_event, 256> events{};
    int n = epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()),
                       static_cast<int>(timeout.count()));
    for (int i = 0; i < n; ++i) {
        // An earlier handler of this batch may have removed this one.
        auto it = entries_.find(events[i].data.u64);
        if (it != entries_.end()) {
            Handler handler = it->second.handler;
            handler(events[i].events);
        }
    }
    return n < 0 ? 0 : n;
}

bool Poller::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return done();
        }
        poll(std::min<std::chrono::milliseconds>(left, 20ms));
    }
    return true;
}

// ---- EchoServer

EchoServer::EchoServer(Poller& poller) : poller_(poller), buffer_(65536) {
    listenFd_ = listenOn(port_);
    listenToken_ = poller_.add(listenFd_, EPOLLIN, [this](std::uint32_t) { acceptAll(); });
}

EchoServer::~EchoServer() {
    while (!conns_.empty()) {
        drop(conns_.begin()->first);
    }
    poller_.remove(listenToken_);
    if (listenFd_ >= 0) {
        close(listenFd_);
    }
}

void EchoServer::acceptAll() {
    for (int i = 0; i < 1024; ++i) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        std::uint64_t token = poller_.add(fd, EPOLLIN | EPOLLRDHUP,
                                          [this, fd](std::uint32_t events) { serve(fd, events); });
        conns_[fd].token = token;
    }
}

void EchoServer::serve(int fd, std::uint32_t events) {
    auto it = conns_.find(fd);
    if (it == conns_.end()) {
        return;
    }
    Conn& conn = it->second;
    if (!conn.pending.empty()) {
        ssize_t sent = send(fd, conn.pending.data(), conn.pending.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno != EAGAIN) {
            drop(fd);
            return;
        }
        conn.pending.erase(0, static_cast<std::size_t>(std::max<ssize_t>(sent, 0)));
        if (!conn.pending.empty()) {
            return;
        }
        poller_.modify(conn.token, EPOLLIN | EPOLLRDHUP);
    }
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0) {
        return;
    }
    char* buffer = buffer_.data();
    ssize_t n = recv(fd, buffer, buffer_.size(), 0);
    if (n < 0 && errno == EAGAIN) {
        return;
    }
    if (n <= 0) {
        drop(fd);
        return;
    }
    ssize_t sent = send(fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL);
    if (sent < 0 && errno != EAGAIN) {
        drop(fd);
        return;
    }
    sent = std::max<ssize_t>(sent, 0);
    if (sent < n) {
        // Reading waits until the echo is out, as a real peer's window would make it.
        conn.pending.assign(buffer + sent, static_cast<std::size_t>(n - sent));
        poller_.modify(conn.token, EPOLLOUT);
    }
}

int EchoServer::takeOver() {
    if (conns_.empty()) {
        return -1;
    }
    auto it = conns_.begin();
    int fd = it->first;
    poller_.remove(it->second.token);
    conns_.erase(it);
    return fd;
}

void EchoServer::drop(int fd) {
    auto it = conns_.find(fd);
    if (it == conns_.end()) {
        return;
    }
    poller_.remove(it->second.token);
    close(fd);
    conns_.erase(it);
}

// ---- Child

Child::Child(const std::function<int(int control)>& body) {
    int ends[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        return;
    }
    std::fflush(nullptr);
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(1);
        }
        // Only the control socket survives: the child's descriptor figures start clean,
        // and it holds no end of another child's control socket.
        int control = 3;
        if (ends[1] != control) {
            dup2(ends[1], control);
        }
        close_range(4, ~0U, 0);
        _exit(body(control));
    }
    close(ends[1]);
    if (pid_ < 0) {
        close(ends[0]);
        return;
    }
    control_ = ends[0];
}

Child::~Child() {
    finish(10s);
}

bool Child::send(const void* message, std::size_t size) {
    return control_ >= 0 &&
           ::send(control_, message, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

bool Child::receive(void* message, std::size_t size, std::chrono::milliseconds timeout) {
    if (control_ < 0) {
        return false;
    }
    pollfd waiting{control_, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(timeout.count())) != 1) {
        return false;
    }
    return recv(control_, message, size, 0) == static_cast<ssize_t>(size);
}

int Child::finish(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return exitCode_;
    }
    Request quit;
    quit.command = 'q';
    send(&quit, sizeof quit);
    // The child's end closes when it exits; anything else it still sends is dropped.
    auto deadline = Clock::now() + timeout;
    bool ended = false;
    for (int i = 0; i < 100000 && !ended; ++i) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd waiting{control_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(left.count())) < 0) {
            break;
        }
        char scrap[sizeof(RelayStats)];
        ended = (waiting.revents & POLLHUP) != 0 || recv(control_, scrap, sizeof scrap, 0) == 0;
    }
    bool killed = false;
    if (!ended) {
        kill(pid_, SIGKILL);
        killed = true;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    if (killed) {
        exitCode_ = -1;
    } else if (WIFEXITED(status)) {
        exitCode_ = WEXITSTATUS(status);
    } else {
        exitCode_ = 128 + WTERMSIG(status);
    }
    close(control_);
    control_ = -1;
    pid_ = -1;
    return exitCode_;
}

// ---- RelayChild, EchoChild

int RelayStats::totalPairs() const {
    int total = 0;
    for (int i = 0; i < repeaters; ++i) {
        total += pairs[i];
    }
    return total;
}

int RelayStats::totalConnections() const {
    int total = 0;
    for (int i = 0; i < repeaters; ++i) {
        total += connections[i];
    }
    return total;
}

RelayChild::RelayChild(const std::vector<RelayTarget>& targets, long openFiles)
    : child_([&](int control) { return runRelay(control, targets, openFiles); }) {
    Ready ready;
    if (child_.receive(&ready, sizeof ready, 30s)) {
        ports_.assign(ready.ports, ready.ports + ready.count);
    }
}

RelayStats RelayChild::stats() {
    Request request;
    request.command = 's';
    RelayStats stats;
    if (!child_.send(&request, sizeof request) || !child_.receive(&stats, sizeof stats, 30s)) {
        return RelayStats{};
    }
    return stats;
}

long RelayChild::limitOpenFiles(long limit) {
    Request request;
    request.command = 'L';
    request.value = limit;
    long now = -1;
    if (!child_.send(&request, sizeof request) || !child_.receive(&now, sizeof now, 30s)) {
        return -1;
    }
    return now;
}

bool RelayChild::waitFor(const std::function<bool(const RelayStats&)>& done,
                         std::chrono::milliseconds timeout, Poller* poller) {
    auto deadline = Clock::now() + timeout;
    for (int i = 0; i < 1000000; ++i) {
        RelayStats now = stats();
        if (now.repeaters > 0 && done(now)) {
            return true;
        }
        if (now.repeaters == 0 || Clock::now() >= deadline) {
            return false;
        }
        if (poller != nullptr) {
            poller->poll(5ms);
        }
    }
    return false;
}

EchoChild::EchoChild(long openFiles)
    : child_([&](int control) { return runEcho(control, openFiles); }) {
    Ready ready;
    if (child_.receive(&ready, sizeof ready, 30s)) {
        port_ = ready.ports[0];
        openFiles_ = ready.openFiles;
    }
}

// ---- PatternStream

namespace {
const std::string& streamBlock() {
    static const std::string block = loopback::pattern(PatternStream::kPeriod, 77);
    return block;
}
}  // namespace

bool PatternStream::push() {
    const std::string& block = streamBlock();
    while (sent_ < kMost) {
        std::size_t at = sent_ % kPeriod;
        ssize_t n =
            send(fd_, block.data() + at, std::min<std::size_t>(kPeriod - at, 65536), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent_ += static_cast<std::size_t>(n);
    }
    return false;
}

bool PatternStream::pull() {
    const std::string& block = streamBlock();
    std::vector<char> buffer(65536);
    for (int i = 0; i < 64; ++i) {
        ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EAGAIN) {
            return true;
        }
        if (n <= 0) {
            return false;
        }
        for (std::size_t done = 0; done < static_cast<std::size_t>(n);) {
            std::size_t at = received_ % kPeriod;
            std::size_t piece = std::min(kPeriod - at, static_cast<std::size_t>(n) - done);
            if (std::memcmp(buffer.data() + done, block.data() + at, piece) != 0) {
                intact_ = false;
                return false;
            }
            received_ += piece;
            done += piece;
        }
    }
    return true;
}

// ---- EchoClients

EchoClients::EchoClients(Poller& poller, int port) : poller_(poller), port_(port) {}

EchoClients::~EchoClients() {
    for (Client& client : clients_) {
        if (client.fd >= 0) {
            poller_.remove(client.token);
            close(client.fd);
        }
    }
}

std::string EchoClients::message(int id, int round) {
    auto seed = static_cast<unsigned>(id) * 1000003u + static_cast<unsigned>(round);
    auto length = static_cast<std::size_t>(24 + (id * 7 + round * 13) % 200);
    return "#" + std::to_string(id) + "/" + std::to_string(round) + ":" +
           loopback::pattern(length, seed);
}

void EchoClients::setState(Client& client, State state) {
    --counts_[static_cast<int>(client.state)];
    ++counts_[static_cast<int>(state)];
    client.state = state;
}

void EchoClients::open() {
    int id = static_cast<int>(clients_.size());
    clients_.emplace_back();
    ++counts_[static_cast<int>(State::Connecting)];
    Client& client = clients_.back();
    client.expected = message(id, 0);
    client.fd = connectStart(port_);
    client.token = poller_.add(client.fd, EPOLLOUT,
                               [this, id](std::uint32_t events) { onEvents(id, events); });
    if (client.token == 0) {
        closeClient(client, State::Closed);
    }
}

void EchoClients::closeClient(Client& client, State state) {
    if (client.fd >= 0) {
        poller_.remove(client.token);
        close(client.fd);
    }
    client.fd = -1;
    client.expected = std::string();
    setState(client, state);
}

void EchoClients::closeWhere(State state) {
    for (Client& client : clients_) {
        if (client.state == state && client.fd >= 0) {
            closeClient(client, State::Left);
        }
    }
}

void EchoClients::sendRound(int round) {
    for (int id = 0; id < total(); ++id) {
        Client& client = clients_[static_cast<std::size_t>(id)];
        if (client.state != State::Echoed) {
            continue;
        }
        client.expected = message(id, round);
        client.round = round;
        client.sent = 0;
        client.received = 0;
        setState(client, State::Waiting);
        push(id);
    }
}

void EchoClients::push(int id) {
    Client& client = clients_[static_cast<std::size_t>(id)];
    if (client.sent == 0) {
        client.sentAt = Clock::now();
    }
    while (client.sent < client.expected.size()) {
        ssize_t n = send(client.fd, client.expected.data() + client.sent,
                         client.expected.size() - client.sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN) {
            poller_.modify(client.token, EPOLLIN | EPOLLRDHUP | EPOLLOUT);
            return;
        }
        if (n <= 0) {
            closeClient(client, State::Closed);
            return;
        }
        client.sent += static_cast<std::size_t>(n);
    }
    poller_.modify(client.token, EPOLLIN | EPOLLRDHUP);
}

void EchoClients::onEvents(int id, std::uint32_t events) {
    Client& client = clients_[static_cast<std::size_t>(id)];
    if (client.fd < 0) {
        return;
    }
    if (client.state == State::Connecting) {
        if ((events & (EPOLLERR | EPOLLHUP)) != 0 || socketError(client.fd) != 0) {
            closeClient(client, State::Closed);
            return;
        }
        setState(client, State::Waiting);
        push(id);
        return;
    }
    if ((events & EPOLLOUT) != 0) {
        push(id);
        if (client.fd < 0) {
            return;
        }
    }
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0) {
        return;
    }
    char buffer[4096];
    for (int i = 0; i < 64; ++i) {
        ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EAGAIN) {
            return;
        }
        if (n <= 0) {
            closeClient(client, State::Closed);
            return;
        }
        auto got = static_cast<std::size_t>(n);
        std::size_t left = client.expected.size() - client.received;
        if (client.state != State::Waiting || got > left ||
            std::memcmp(buffer, client.expected.data() + client.received, got) != 0) {
            ++mismatches_;
            closeClient(client, State::Closed);
            return;
        }
        client.received += got;
        bytesChecked_ += got;
        if (client.received == client.expected.size()) {
            served_ += client.round == 0 ? 1 : 0;
            roundTrips_.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - client.sentAt).count());
            setState(client, State::Echoed);
        }
    }
}

}  // namespace load
