#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/async_socket.h"
#include "relay/buffer_pool.h"
#include "relay/send_ring.h"
#include "relay/stream_side.h"

class CTcpSockStreamParent;

// How far a pair's streams are with the connection to the destination.
enum class ConnectState : std::uint8_t {
    Idle,
    Connecting,  // the destination is looked up or connected to; the client's bytes wait
    Connected,   // both ends are established
};

// Where the bytes from one stream's peer stand on their way to the partner's peer. Each
// stream keeps the state of the direction it reads; it only ever moves down this list.
enum class Flow : std::uint8_t {
    Open,      // the peer may still send
    Draining,  // the peer has ended; the partner still holds some of its bytes
    Ended,     // the peer has ended and all of it has reached the partner's kernel
    Shut,      // the end was passed on: the partner is shut down for writing
    Aborted,   // the peer reset the connection or this socket failed
};

// One end of a relayed TCP connection.
//
// What this stream's peer sends is read straight into the partner's send queue, and only as
// far as that queue has room; the partner writes it on to its own peer. While the partner's
// queue is full, reading pauses (no notification, no busy loop) and resumes as soon as the
// partner has sent something. The send queue is a ring whose block is borrowed from the
// repeater's pool while it holds data. Every event the repeater must act on is reported to
// the parent.
//
// Closing rules, applied by advanceClose() after every send, end and failure (the pair's
// sockets are then closed by the repeater, see CTcpRepeater::closePairStreams):
//   this direction | the other | HALFCLOSE | then
//   Open           | any       | any       | nothing
//   Draining       | any       | any       | wait; the partner's next send comes back here
//   Ended          | Draining  | off       | wait: the other direction's last send closes
//   Ended          | other     | off       | the pair closes (notifyOnClose)
//   Ended          | any       | on        | the partner is shut down for writing: Shut
//   Shut           | not Shut  | on        | wait for the other direction
//   Shut           | Shut      | on        | the pair closes (notifyOnClose)
//   Aborted        | any       | any       | the pair closes at once (notifyOnError)
// Draining becomes Ended once the partner's queue is empty (and, with HALFCLOSE, the partner
// is connected, since only a connected socket can be shut down).
//
// Ownership: owns its socket and, while it holds data, its queue block; parent and partner
// are not owned. Thread: the relay's thread, inside socket notifications.
class CTcpSockStream : public CAsyncSocket {
  public:
    // Reports go to parent (null: none), as this side of its pair.
    CTcpSockStream(Side side, CTcpSockStreamParent* parent, bool halfClose);
    ~CTcpSockStream() override;

    // Makes the two streams each other's partner: each one's peer is read into the other.
    void pairWith(CTcpSockStream& partner);
    Side side() const { return side_; }
    // The pair's slot in its repeater's table.
    std::uint32_t index() const { return index_; }
    void setIndex(std::uint32_t slot) { index_ = slot; }
    ConnectState connectState() const { return connectState_; }
    void setConnectState(ConnectState state) { connectState_ = state; }

    // Sets the queue's size to sizeKb KiB (below 1 counts as 1). False when that size
    // cannot be held; the queue itself is borrowed from the pool on first use.
    bool allocateBuffers(int sizeKb, std::shared_ptr<BufferPool> pool);

    std::uint32_t getSendFreeSize() const;

    // Fills the names of an outgoing stream once its connect has succeeded: the peer is the
    // address connected to. The local name is read from the kernel only when first asked
    // for, and then kept.
    void readNames();
    // Fills the names of an accepted stream: the peer as the accept reported it; the local
    // name as for readNames.
    void acceptedFrom(const std::string& peerAddress, std::uint32_t peerPort);
    // Hands over what is still queued for the peer (the stream keeps an empty queue).
    SendRing takeSendQueue();
    // Queues bytes of the relay's own for the peer, ahead of anything relayed; false when
    // they do not fit.
    bool queueOwnBytes(const std::string& bytes);
    // Gives up an outgoing connect that failed, so that the stream can connect elsewhere;
    // what the partner's peer sent meanwhile stays queued.
    void dropFailedConnect();

    const std::string& getPeerAddress() const { return peerAddress_; }
    std::uint32_t getPeerPort() const { return peerPort_; }
    const std::string& getBindIp() const {
        readBindName();
        return bindIp_;
    }
    std::uint32_t getBindPort() const {
        readBindName();
        return bindPort_;
    }
    // Bytes waiting in the queue for this stream's peer, now and at most so far.
    std::uint32_t queuedBytes() const { return queued_; }
    std::uint32_t getMaxRemainCount() const { return mostQueued_; }
    std::uint32_t sendBufferSize() const { return sendBufferSize_; }
    // Bytes read from this stream's peer.
    std::uint64_t receivedBytes() const { return receivedBytes_; }
    // True once this stream's peer has ended while the partner still had bytes of it to send.
    bool closePending() const { return closePending_; }
    Flow inbound() const { return inbound_; }

    void OnReceive(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnOutOfBandData(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

  private:
    // Pushes the queue into the socket. False when that failed and the pair, this stream
    // included, has been closed: the caller must not touch the stream any more.
    bool writeSendBuffer2Socket();
    void peerHasEnded();
    void advanceClose();
    void queueChanged();
    void resumePartnerReading();
    void reportError(int err);
    void readBindName() const;

    const Side side_;
    CTcpSockStreamParent* const parent_;
    // Pass one peer's end on as a shutdown for writing and keep the other direction going,
    // instead of closing the pair at the first end.
    const bool halfClose_;
    CTcpSockStream* partner_ = nullptr;
    ConnectState connectState_ = ConnectState::Idle;
    std::uint32_t index_ = 0;
    std::uint32_t sendBufferSize_ = 0;
    std::uint32_t queued_ = 0;
    std::uint32_t mostQueued_ = 0;
    // The local name, read on first use once the connection is established.
    mutable std::string bindIp_;
    mutable std::uint32_t bindPort_ = 0;
    mutable bool bindNameDue_ = false;
    std::string peerAddress_;
    std::uint32_t peerPort_ = 0;
    bool closePending_ = false;
    std::uint64_t receivedBytes_ = 0;
    SendRing sendQueue_;
    // Set while this stream's reading waits for room in the partner's queue.
    bool receivePaused_ = false;
    Flow inbound_ = Flow::Open;
};
