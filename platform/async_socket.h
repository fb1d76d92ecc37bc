#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/socket_address.h"

class SocketEventLoop;

// Notification kinds, as bits of Create's event mask; 63 asks for all six.
enum AsyncSocketEvent : long {
    FD_READ = 0x01,
    FD_WRITE = 0x02,
    FD_OOB = 0x04,
    FD_ACCEPT = 0x08,
    FD_CONNECT = 0x10,
    FD_CLOSE = 0x20,
    FD_ALL_EVENTS = 0x3F,
};

constexpr int SOCKET_ERROR = -1;

// The last socket error of the calling thread, as a Windows Sockets number.
int WSAGetLastError();

// A non-blocking TCP socket whose readiness arrives as virtual notifications on the thread
// that made it, through that thread's SocketEventLoop.
//
// The notifications keep the asynchronous-select rules the relay is written against:
// - OnReceive while data, end of stream or an error waits; once delivered it comes again
//   only after the next Receive (any Receive re-arms it, one of length 0 too).
// - OnSend once when a connect or accept completes, then only after a Send that failed with
//   WSAEWOULDBLOCK (or took nothing), once the socket can take data again.
// - OnAccept while connections wait, re-armed by Accept.
// - OnConnect once per connect, with its result (after every address given was tried);
//   OnClose once when the peer has closed (after everything it sent has been received) or
//   reset the connection, and not at all once a Receive has returned 0 (the owner has then
//   seen the end itself). A reset comes only after everything received before it has been
//   read (OnReceive first; a Receive then returns the error), and a reset after the end is
//   still told, as OnClose with the error.
// - OnOutOfBandData when urgent data waits; urgent data never enters the stream. It comes
//   again after a Receive with MSG_OOB.
// After Close nothing reaches the object, not even events already fetched.
//
// Ownership: owns its descriptor. Thread: the thread of its loop only.
class CAsyncSocket {
  public:
    CAsyncSocket();
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // When asked for, the peer's address comes with the connection (spares a getpeername).
    virtual bool Accept(CAsyncSocket& connected, std::string* peerAddress = nullptr,
                        unsigned int* peerPort = nullptr);
    virtual void Close();
    virtual int Receive(void* buffer, int length, int flags = 0);
    virtual int Send(const void* buffer, int length, int flags = 0);
    virtual void OnReceive(int nErrorCode);
    virtual void OnSend(int nErrorCode);
    virtual void OnOutOfBandData(int nErrorCode);
    virtual void OnAccept(int nErrorCode);
    virtual void OnConnect(int nErrorCode);
    virtual void OnClose(int nErrorCode);

    // Makes the socket and binds it; port 0 is any port. A null address is any local
    // address of either family (one socket for IPv4 and IPv6, IPv4 alone where the system
    // has no IPv6). A bind address must be a numeric IPv4 or IPv6 address (an IPv6 one
    // gives an IPv6-only socket), a port must lie in 0..65535 (WSAEINVAL).
    bool Create(int port = 0, int socketType = SOCK_STREAM, long events = FD_ALL_EVENTS,
                const char* bindAddress = nullptr);
    // A numeric address is used as is, other text resolved here (blocking).
    // False with WSAEWOULDBLOCK means the result will come through OnConnect.
    bool Connect(const char* host, int port);
    // Connects to the first of the addresses that accepts, in order; a socket of another
    // family is made where an address needs one. Results as for Connect.
    bool ConnectTo(const std::vector<SocketAddress>& addresses);
    bool Listen(int backlog = SOMAXCONN);
    bool ShutDown(int how = SHUT_RDWR);
    bool SetSockOpt(int option, const void* value, int length, int level = SOL_SOCKET);
    // Makes the next Close a reset (a zero linger time) instead of an orderly end.
    bool SetResetOnClose();
    // Keepalive probes: the first after idleSeconds of silence, then one every
    // intervalSeconds, the connection given up after probes unanswered ones.
    bool SetKeepAlive(int idleSeconds, int intervalSeconds, int probes);

    // Remote and local ends as text and port; untouched on failure.
    bool GetPeerName(std::string& address, unsigned int& port) const;
    bool GetSockName(std::string& address, unsigned int& port) const;
    // The address the last completed connect reached, as GetPeerName would give it but
    // without asking the kernel; false when no connect has completed.
    bool ConnectedPeer(std::string& address, unsigned int& port) const;

    // Two-part forms of Receive and Send for ring buffers: one call, both parts in order.
    int ReceiveInto(void* first, int firstLength, void* second, int secondLength);
    int SendFrom(const void* first, int firstLength, const void* second, int secondLength);

    // Re-arms OnReceive without reading, as a Receive of length 0 would.
    void ResumeReceive();
    // For owners whose OnReceive takes a Receive of 0 as the peer's end: a wake-up that
    // brings the end is then told through OnReceive without first peeking whether data
    // comes before it; a short read still brings OnClose at once.
    void tellEndThroughReceive() { endThroughReceive_ = true; }

    // Moves the open descriptor of another socket, with its registration, into this one,
    // which then gets its notifications; the other is left closed.
    void TakeOver(CAsyncSocket& other);

    // True once the peer's end of stream (or a reset) has been seen.
    bool peerEnded() const { return closeDelivered_; }
    // Bytes taken from the socket by Receive and ReceiveInto (urgent ones included).
    std::uint64_t bytesRead() const { return bytesRead_; }

    static int GetLastError() { return WSAGetLastError(); }

    int handle() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }

    // For SocketEventLoop.
    void handleEvents(std::uint32_t epollEvents);
    void deliverPostedSend();
    void detachFromLoop();

  private:
    // What one kind of dispatch did: nothing, something, or the object is gone.
    enum class Dispatch { Idle, Consumed, Gone };

    bool requireOpen();
    static int makeSocket(int family, int socketType, bool dualStack);
    bool attachDescriptor(int fd);
    bool openDescriptor(int family);
    void postFirstSend();
    bool registerWithLoop();
    void setLastError(int wsaError);
    int receiveResult(long received, int error, int asked);
    int finishSend(long sent, int error, long asked);
    int connectNext();
    Dispatch deliver(void (CAsyncSocket::*handler)(int), int code);
    Dispatch dispatchAccepts(std::uint32_t ev);
    Dispatch dispatchConnectResult(std::uint32_t& ev);
    Dispatch dispatchStream(std::uint32_t ev);
    Dispatch dispatchInput(std::uint32_t ev);
    Dispatch deliverFailure(int error);
    std::uint32_t wantedEvents() const;
    bool endFollowsRead(std::uint32_t ev) const;
    void updateInterest();
    void pauseAccepting();
    bool takeWaitingConnection();
    bool wants(long event) const { return (events_ & event) != 0; }

    int fd_ = -1;
    std::uint64_t bytesRead_ = 0;
    int family_ = AF_INET;
    long events_ = FD_ALL_EVENTS;
    SocketEventLoop* loop_ = nullptr;
    std::uint64_t id_ = 0;
    std::uint32_t interest_ = 0;
    bool registered_ = false;
    bool watched_ = false;
    bool listening_ = false;
    bool connecting_ = false;
    bool readArmed_ = false;
    bool writeArmed_ = false;
    // The first OnSend of a new connection is posted rather than watched for.
    bool sendPosted_ = false;
    bool oobArmed_ = false;
    bool acceptArmed_ = false;
    bool closeDelivered_ = false;
    // The socket's error (a reset) has been told, through OnClose or a failed read.
    bool failureDelivered_ = false;
    bool dispatching_ = false;
    // Urgent data has come at some point: a short read may have stopped at its mark.
    bool urgentSeen_ = false;
    // A read during the current dispatch took less than it asked for.
    bool readDrained_ = false;
    bool endThroughReceive_ = false;
    // The local address an outgoing socket was bound to, for a socket made anew when the
    // next address of a connect needs one; only where an address was given.
    std::unique_ptr<SocketAddress> bindAt_;
    // Made for any address: takes both families.
    bool dualStack_ = false;
    // Addresses of the connect in progress still to try, and the next one's position.
    std::vector<SocketAddress> connectAddresses_;
    std::size_t nextAddress_ = 0;
    // Where the completed connect went; kept for ConnectedPeer.
    std::unique_ptr<SocketAddress> connectedTo_;
    // A connection this listening socket has already taken from the kernel, announced by
    // OnAccept and handed over by the next Accept.
    int waitingFd_ = -1;
    std::unique_ptr<SocketAddress> waitingPeer_;
    // Connections announced per wake-up at most: under a storm of short connections one per
    // wake-up would make every connection cost a trip through the loop.
    static constexpr int kMaxAcceptBurst = 16;
    // Connections announced per wake-up now, and the loop's fetch that last announced one.
    int acceptBurst_ = kMaxAcceptBurst;
    std::uint64_t lastAcceptFetch_ = 0;
};
