#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Blocking loopback helpers for tests: the relay runs on the test's thread, peers run on
// their own threads with plain blocking sockets and time limits.
namespace loopback {

using namespace std::chrono_literals;

// A socket bound to 127.0.0.1 at an ephemeral port, not listening yet; -1 on failure.
int bindAny(int& port);
// A listening socket on 127.0.0.1 at an ephemeral port; -1 on failure.
int listenAny(int& port, int backlog = 512);
// A listening socket on ::1 at an ephemeral port; -1 where the machine has no IPv6.
int listenIpv6(int& port, int backlog = 8);
// A listening socket on 127.0.0.1:port (0: an ephemeral one) that may take over a port still
// in TIME_WAIT; -1 on failure.
int listenAt(int port, int backlog);
// Connects to 127.0.0.1:port; -1 on failure. Receive and send time out after timeout (0:
// never).
int connectTo(int port, std::chrono::milliseconds timeout = 10s);
// Starts a non-blocking connect to 127.0.0.1:port; -1 on failure. A receiveBuffer above 0
// is set before the connect, so that the window offered stays that small.
int connectStart(int port, int receiveBuffer = 0);
// A port that binds now (TCP and UDP), outside the range the kernel picks ports from by
// itself and never handed out twice to any test process running meanwhile; 0 when none.
int freePort();
void setTimeouts(int fd, std::chrono::milliseconds timeout);
void setBufferSizes(int fd, int receive, int send);
bool setNonBlocking(int fd);
// Pending socket error (SO_ERROR), 0 when the socket is fine.
int socketError(int fd);
// Makes close() send a reset instead of a FIN.
void resetOnClose(int fd);
// The socket's own port and its peer's; 0 when unknown.
int localPort(int fd);
int remotePort(int fd);

bool sendAll(int fd, const void* data, std::size_t length);
// Reads until length bytes arrived, the peer closed or the timeout; returns the bytes read.
std::string receiveExactly(int fd, std::size_t length);
// Reads until the peer closes (or an error/timeout); returns everything read.
std::string receiveUntilClosed(int fd);
// True when the peer closed (read gives 0 or a reset) within the socket's timeout.
bool waitClosed(int fd);

std::string pattern(std::size_t length, unsigned seed);
std::uint64_t checksum(const unsigned char* data, std::size_t length, std::uint64_t seed = 0);

// Accepts connections on its own thread and runs handler(fd) for each on a new thread;
// closes each descriptor after its handler returns.
class Server {
  public:
    // A receiveBuffer above 0 sets SO_RCVBUF on the accepted sockets (keeps the kernel from
    // absorbing what a test wants to see queued in the relay).
    explicit Server(std::function<void(int)> handler, int receiveBuffer = 0);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return port_; }
    int accepted() const { return accepted_.load(); }
    // Ends the connections still open (a relay may hold them) and waits for the handlers.
    void stop();

  private:
    void acceptLoop();

    std::function<void(int)> handler_;
    std::mutex openMutex_;
    std::set<int> open_;  // descriptors not yet closed by their handler's thread
    int listenFd_ = -1;
    int receiveBuffer_ = 0;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptThread_;
    std::vector<std::thread> workers_;
};

// Echoes everything back until the client closes.
void echo(int fd);

// A destination that never accepts: the kernel completes as many connections as the
// backlog holds and leaves later ones hanging in their connect.
class HoldServer {
  public:
    explicit HoldServer(int backlog);
    ~HoldServer();
    HoldServer(const HoldServer&) = delete;
    HoldServer& operator=(const HoldServer&) = delete;

    int port() const { return port_; }

  private:
    int listenFd_ = -1;
    int port_ = 0;
};

// A blocking client socket that closes itself; every call gives up after the timeout.
class Client {
  public:
    Client() = default;
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connectTo(int port, std::chrono::milliseconds timeout = 5s);
    bool send(const std::string& data) { return sendAll(fd_, data.data(), data.size()); }
    // Exactly length bytes, or what came before the peer closed or the timeout.
    std::string receive(std::size_t length) { return receiveExactly(fd_, length); }
    bool waitClosed() { return loopback::waitClosed(fd_); }
    void close();
    int localPort() const;

  private:
    int fd_ = -1;
};

}  // namespace loopback
