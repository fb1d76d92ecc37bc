#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

// Blocking loopback peers on their own threads, for driving a panel's relay while the UI
// thread runs the Qt loop.
namespace peers {

using namespace std::chrono_literals;

// A port on 127.0.0.1 that was free a moment ago (bound to port 0, read, released).
int freeLoopbackPort();

// A destination that echoes every connection until the client closes it.
class EchoServer {
  public:
    EchoServer();
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    int port() const { return port_; }
    int accepted() const { return accepted_.load(); }

  private:
    void acceptLoop();

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptThread_;
    std::vector<std::thread> workers_;
    std::vector<int> connections_;  // touched by the accept thread until it is joined
};

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

// A blocking client socket; every call gives up after the timeout.
class Client {
  public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connectTo(int port, std::chrono::milliseconds timeout = 5s);
    bool send(const std::string& data);
    // Reads exactly length bytes, or what came before the peer closed or the timeout.
    std::string receive(std::size_t length);
    // True when the peer closed the connection within the timeout.
    bool waitClosed();
    void close();
    int localPort() const;

  private:
    int fd_ = -1;
};

}  // namespace peers
