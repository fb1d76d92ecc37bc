#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

// Blocking UDP helpers for tests and fuzzers: loopback only, every wait bounded.
namespace udp {

using namespace std::chrono_literals;

// A UDP socket bound to ip (IPv4 or IPv6 text) at port (0: ephemeral), with receive and send
// timeouts; -1 on failure.
int bindAt(const char* ip, int port = 0, std::chrono::milliseconds timeout = 5s);
// The socket's own port; 0 when unknown.
int localPort(int fd);
// connect() to ip:port, so that only that peer's datagrams are taken.
bool connectTo(int fd, const char* ip, int port);
bool sendTo(int fd, const char* ip, int port, const std::string& datagram);
// On a connected socket.
bool send(int fd, const std::string& datagram);
// One datagram, or false after the socket's timeout; from gets the sender's port.
bool receive(int fd, std::string& datagram, int* fromPort = nullptr);

// Echoes every datagram back to its sender on its own thread (after the delay, when given),
// and remembers the senders.
class EchoServer {
  public:
    explicit EchoServer(const char* ip = "127.0.0.1", std::chrono::milliseconds delay = 0ms);
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    int port() const { return port_; }
    // Distinct sender address:port texts seen so far.
    std::set<std::string> senders() const;
    long received() const { return received_.load(); }

  private:
    void run();

    struct Late {
        std::chrono::steady_clock::time_point due;
        sockaddr_storage to;
        socklen_t length;
        std::string datagram;
    };

    int fd_ = -1;
    int port_ = 0;
    std::chrono::milliseconds delay_;
    // The answers not yet due, in the order due; the server's thread only.
    std::deque<Late> late_;
    std::atomic<bool> stopping_{false};
    std::atomic<long> received_{0};
    mutable std::mutex mutex_;
    std::set<std::string> senders_;
    std::thread thread_;
};

}  // namespace udp
