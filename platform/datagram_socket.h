#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "platform/socket_address.h"
#include "platform/socket_event_loop.h"

class DatagramSocket;

// Told what happens on a DatagramSocket, on the loop's thread.
class DatagramSocketHandler {
  public:
    // Datagrams wait (level-triggered: called again while any are left).
    virtual void onDatagramsReady(DatagramSocket& socket) = 0;
    // The kernel reported an error for an earlier datagram (an ICMP answer such as a port
    // unreachable, as WSAECONNREFUSED); the socket stays usable.
    virtual void onDatagramError(DatagramSocket& socket, int wsaError) = 0;

  protected:
    ~DatagramSocketHandler() = default;
};

// A non-blocking UDP socket watched by the calling thread's SocketEventLoop.
//
// CAsyncSocket's notifications follow a stream's life (an error ends it, one read re-arms
// the next notice); a datagram socket lives on through errors and is read in batches, so it
// gets a watcher of its own: readiness is passed on as it comes, errors are fetched and
// passed on without closing anything. Reads and writes are recvmmsg/sendmmsg on handle().
// Ownership: owns its descriptor; the handler is not owned. Thread: its loop's only.
class DatagramSocket final : public LoopEventHandler {
  public:
    DatagramSocket() = default;
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Binds to the port (0: any) at a numeric address; null is any address of either family
    // (IPv4 alone where the system has no IPv6). False with lastError() set.
    bool bind(int port, const char* bindAddress, DatagramSocketHandler* handler);
    // A socket of the destination's family, connected to it: it takes only the
    // destination's answers and hears its ICMP errors.
    bool connect(const SocketAddress& destination, DatagramSocketHandler* handler);
    void close();

    // SO_RCVBUF and SO_SNDBUF.
    void setBufferSizes(int bytes);
    // Another handler from now on (the socket is handed to a new keeper).
    void setHandler(DatagramSocketHandler* handler) { handler_ = handler; }
    // Reads and drops up to most waiting datagrams (and pending errors); how many went.
    unsigned discardWaiting(unsigned most);
    // Asks for the local address of each datagram, so that answers leave from the address
    // the client sent to (a socket bound to any address); true when it is on.
    bool receiveLocalAddresses();
    bool localAddressesOn() const { return pktInfo_; }

    bool isOpen() const { return fd_ >= 0; }
    int handle() const { return fd_; }
    int family() const { return family_; }
    bool localName(SocketAddress& out) const;
    // The destination of a connected socket.
    bool peerName(SocketAddress& out) const;
    // One datagram to the connected destination, without waiting; one that cannot go now is
    // dropped, as the network may.
    void sendNow(const void* data, std::size_t length);
    // The Windows Sockets number of the last failed bind or connect.
    int lastError() const { return error_; }

    void handleLoopEvents(std::uint32_t epollEvents) override;
    void detachFromLoop() override;

  private:
    bool attach(int fd, int family, DatagramSocketHandler* handler);
    bool fail(int errnoValue);

    int fd_ = -1;
    int family_ = AF_INET;
    bool pktInfo_ = false;
    DatagramSocketHandler* handler_ = nullptr;
    SocketEventLoop* loop_ = nullptr;
    std::uint64_t id_ = 0;
    int error_ = 0;
};
