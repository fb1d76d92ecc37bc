#include "app/show_request.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr const char* kRequest = "SHOW\n";
constexpr const char* kAnswer = "SHOWN\n";
// A request is one short line; more than this without a line end is no request.
constexpr std::size_t kMostRequestBytes = 512;
constexpr const char* kTooLong = "ERR request too long\nEND 1\n";
constexpr const char* kUnfinished = "ERR no complete request line in time\nEND 1\n";
// Most a reply may take to go out to an asker that reads slowly.
constexpr int kReplyTimeoutMs = 2000;
// Connections waiting for their request at once; a newer one takes the oldest one's place,
// so that connections that never ask cannot keep a second start from being answered.
constexpr std::size_t kMostConnections = 8;
// An asker sends its request as soon as it is connected.
constexpr int kRequestTimeoutMs = 500;

bool setAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool peerIsThisUser(int fd) {
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
           credentials.uid == getuid();
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

// Waits for the events on fd until the deadline; false on timeout or error.
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, remainingMs(deadline));
        if (ready > 0) {
            return (entry.revents & events) != 0;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

bool connectWithin(int fd, const sockaddr_un& address,
                   std::chrono::steady_clock::time_point deadline) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        return true;
    }
    if (errno != EINPROGRESS && errno != EAGAIN) {
        return false;
    }
    int error = 0;
    socklen_t size = sizeof(error);
    return waitFor(fd, POLLOUT, deadline) &&
           getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// Reads until the other end closes; false when the deadline came first.
bool readToEnd(int fd, std::chrono::steady_clock::time_point deadline, std::string& received) {
    constexpr std::size_t kMostReplyBytes = std::size_t{1} << 20;
    while (received.size() < kMostReplyBytes && waitFor(fd, POLLIN, deadline)) {
        char buffer[4096];
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        received.append(buffer, static_cast<std::size_t>(got));
    }
    return false;
}

bool sendAll(int fd, const std::string& text, std::chrono::steady_clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN && waitFor(fd, POLLOUT, deadline)) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool trustedSocketPath(const std::string& path, std::string* why) {
    struct stat status {};
    std::string problem;
    if (lstat(path.c_str(), &status) != 0) {
        problem = path + " does not exist";
    } else if (S_ISLNK(status.st_mode)) {
        problem = path + " is a link";
    } else if (!S_ISSOCK(status.st_mode)) {
        problem = path + " is not a socket";
    } else if (status.st_uid != getuid()) {
        problem = path + " belongs to another user";
    }
    if (why != nullptr) {
        *why = problem;
    }
    return problem.empty();
}

bool askRunningCopy(const std::string& path, const std::string& line,
                    std::chrono::milliseconds timeout, std::string& reply) {
    reply.clear();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    sockaddr_un address{};
    if (!trustedSocketPath(path) || !setAddress(path, address)) {
        return false;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool answered = connectWithin(fd, address, deadline) && peerIsThisUser(fd) &&
                          sendAll(fd, line + "\n", deadline) && readToEnd(fd, deadline, reply);
    close(fd);
    return answered;
}

bool askRunningCopyToShow(const std::string& path, std::chrono::milliseconds timeout) {
    std::string reply;
    std::string request = kRequest;
    request.pop_back();
    return askRunningCopy(path, request, timeout, reply) && reply == kAnswer;
}

struct CShowRequestServer::Connection {
    int fd = -1;
    std::string received;
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QTimer> timeout;
};

CShowRequestServer::CShowRequestServer(std::function<void()> show, Commands commands)
    : show_(std::move(show)), commands_(std::move(commands)) {}

CShowRequestServer::~CShowRequestServer() {
    for (const std::unique_ptr<Connection>& connection : connections_) {
        close(connection->fd);
    }
    notifier_.reset();
    if (listener_ >= 0) {
        close(listener_);
        // Only the file this server made: another copy may have replaced it since.
        struct stat status {};
        if (lstat(path_.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
            status.st_ino == inode_) {
            unlink(path_.c_str());
        }
    }
}

bool CShowRequestServer::listen(const std::string& path, std::string* why) {
    sockaddr_un address{};
    struct stat status {};
    std::string problem;
    if (!setAddress(path, address)) {
        problem = path + " is too long for a local socket";
    } else if (lstat(path.c_str(), &status) == 0 && !trustedSocketPath(path, &problem)) {
        // Not ours to remove.
    } else {
        // Left by a copy that has ended: this process holds the guard now.
        unlink(path.c_str());
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // Owner-only from the start, not only after a chmod.
        const mode_t previous = umask(0077);
        const bool bound =
            fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        umask(previous);
        if (bound && ::listen(fd, 5) == 0 && lstat(path.c_str(), &status) == 0) {
            listener_ = fd;
            path_ = path;
            inode_ = status.st_ino;
            notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            QObject::connect(notifier_.get(), &QSocketNotifier::activated, this,
                             [this] { acceptPending(); });
            return true;
        }
        problem = path + " cannot be listened on (" + std::strerror(errno) + ")";
        if (fd >= 0) {
            close(fd);
        }
    }
    if (why != nullptr) {
        *why = problem;
    }
    return false;
}

void CShowRequestServer::acceptPending() {
    for (int accepted = 0; accepted < 16; ++accepted) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        if (!peerIsThisUser(fd)) {
            close(fd);
            continue;
        }
        makeRoom();
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        Connection* raw = connection.get();
        connection->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(connection->notifier.get(), &QSocketNotifier::activated, this,
                         [this, raw] { readFrom(*raw); });
        // An asker that never finishes its request does not hold a place for long.
        connection->timeout = std::make_unique<QTimer>();
        connection->timeout->setSingleShot(true);
        QObject::connect(connection->timeout.get(), &QTimer::timeout, this,
                         [this, raw] { answer(*raw, kUnfinished); });
        connection->timeout->start(kRequestTimeoutMs);
        connections_.push_back(std::move(connection));
    }
}

void CShowRequestServer::makeRoom() {
    // In order of arrival; dropped ones (no descriptor) are on their way out.
    std::size_t waiting = 0;
    Connection* oldest = nullptr;
    for (const std::unique_ptr<Connection>& connection : connections_) {
        if (connection->fd >= 0) {
            oldest = oldest != nullptr ? oldest : connection.get();
            ++waiting;
        }
    }
    if (waiting >= kMostConnections && oldest != nullptr) {
        drop(*oldest);
    }
}

void CShowRequestServer::readFrom(Connection& connection) {
    char buffer[kMostRequestBytes];
    const ssize_t got = recv(connection.fd, buffer, sizeof(buffer), 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (got > 0) {
        connection.received.append(buffer, static_cast<std::size_t>(got));
    }
    const std::size_t end = connection.received.find('\n');
    if (end == std::string::npos && got > 0 && connection.received.size() < kMostRequestBytes) {
        return;
    }
    connection.timeout->stop();
    connection.notifier->setEnabled(false);
    if (end == std::string::npos || end >= kMostRequestBytes) {
        // Too long, or ended before its line did: no request, and nothing is done.
        answer(connection, got == 0 ? kUnfinished : kTooLong);
        return;
    }
    const std::string line = connection.received.substr(0, end);
    if (line + "\n" == kRequest) {
        show_();
        answer(connection, kAnswer);
        return;
    }
    if (!commands_) {
        drop(connection);
        return;
    }
    answer(connection, commands_(line));
}

void CShowRequestServer::answer(Connection& connection, const std::string& reply) {
    if (connection.fd >= 0) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
        sendAll(connection.fd, reply, deadline);
    }
    drop(connection);
}

void CShowRequestServer::drop(Connection& connection) {
    if (connection.fd < 0) {
        return;
    }
    connection.notifier->setEnabled(false);
    connection.timeout->stop();
    close(connection.fd);
    connection.fd = -1;
    // The notifier and the timer are in the middle of their own signal: they go later.
    Connection* gone = &connection;
    QMetaObject::invokeMethod(
        this,
        [this, gone] {
            connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                              [gone](const std::unique_ptr<Connection>& c) {
                                                  return c.get() == gone;
                                              }),
                               connections_.end());
        },
        Qt::QueuedConnection);
}
