#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/forward_config.h"

// One relayed connection (a TCP pair or a UDP session) as plain values, copied from the
// repeater in one go so that the window formats it on its own thread without touching a
// socket. Ports and buffer fill are signed, as the status list always showed them.
struct ConnectionRow {
    struct End {
        std::string address;
        int port = 0;
    };
    std::uint64_t serial = 0;
    // The client, and the local address and port it reached.
    End acceptPeer;
    End acceptBind;
    // Bytes waiting in the relay's buffer towards the client (0 for a datagram session).
    int acceptUsedBuffer = 0;
    // The outgoing socket and the destination; empty and 0 while the name is looked up.
    End connectBind;
    End connectPeer;
    int connectUsedBuffer = 0;
    std::uint64_t bytesUp = 0;
    std::uint64_t bytesDown = 0;
    std::chrono::steady_clock::time_point acceptedAt;
};

// Told the number of relayed connections whose both ends are established (UDP: sessions).
class RepeaterListener {
  public:
    virtual void notifyConnectionCount(int count) = 0;

  protected:
    ~RepeaterListener() = default;
};

// The forwarding engine of one port, whichever protocol it relays. The window drives every
// port through this alone.
// Ownership: an implementation owns its sockets and a copy of its configuration; the
// listener is not owned. Thread: every call on the relay's thread.
class PortRepeater {
  public:
    // What closing sockets get at most to deliver what they hold when a stop names no end.
    static constexpr std::chrono::milliseconds kStopGrace{1000};

    virtual ~PortRepeater() = default;

    // Takes its own copy of the forward's settings; they count from the next start.
    virtual void configure(const ForwardConfig& config) = 0;
    // New settings while the port runs, for the connections from now on; the established
    // ones keep theirs until they end, and the listening socket stays. The protocol, port
    // and listen address must be the running ones (sameListener): for others a new repeater
    // takes over and this one drains. Stopped, it is configure.
    virtual void update(const ForwardConfig& config) = 0;
    // Takes no new connection from now on (TCP: the listening socket closes; UDP: no new
    // client), while the established ones go on until they end.
    virtual void drain() = 0;
    // Nothing is left: no connection, and nothing still on its way out.
    virtual bool drained() const = 0;
    virtual const ForwardConfig& config() const = 0;
    // True when the port listens; a failure leaves its trace line and nothing open, and
    // the socket layer's error number as it was.
    virtual bool start() = 0;
    // Closes every connection and the port; what closing sockets still hold for their
    // peers gets until graceEnds to go out.
    virtual void stop(std::chrono::steady_clock::time_point graceEnds) = 0;
    // Cuts the connection with this serial at once; false when it has gone.
    virtual bool disconnect(std::uint64_t serial) = 0;
    // One row per connection, in the order the status list shows them.
    virtual std::vector<ConnectionRow> rows() const = 0;
    virtual int connectionCount() const = 0;
    virtual void setListener(RepeaterListener* listener) = 0;
    virtual bool isListening() const = 0;
    // The port the listening socket is bound to (useful when started on port 0), or 0.
    virtual unsigned int listenPort() const = 0;
};

// A configured repeater of the kind the forward's protocol asks for.
std::unique_ptr<PortRepeater> makeRepeater(const ForwardConfig& config);
// Hands a stopped repeater new settings; one of the other protocol is replaced by a new one,
// since it has nothing left to keep. The listener is then to be set again.
void reconfigure(std::unique_ptr<PortRepeater>& repeater, const ForwardConfig& config);
