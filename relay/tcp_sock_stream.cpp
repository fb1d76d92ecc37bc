#include "relay/tcp_sock_stream.h"

#include <climits>

#include "platform/trace.h"
#include "platform/wsa_error.h"
#include "relay/tcp_sock_stream_parent.h"

CTcpSockStream::CTcpSockStream(Side side, CTcpSockStreamParent* parent, bool halfClose)
    : side_(side), parent_(parent), halfClose_(halfClose) {
    tellEndThroughReceive();  // OnReceive handles a read of 0 as the peer's end
    TRACE("CTcpSockStream::CTcpSockStream() STREAM を生成\n");
}

CTcpSockStream::~CTcpSockStream() {
    TRACE("CTcpSockStream::~CTcpSockStream() STREAM を破棄\n");
}

bool CTcpSockStream::allocateBuffers(int sizeKb, std::shared_ptr<BufferPool> pool) {
    long long kb = sizeKb < 1 ? 1 : sizeKb;
    long long bytes = kb * 1024;
    if (bytes > INT_MAX || !pool || pool->blockSize() < static_cast<std::size_t>(bytes)) {
        return false;
    }
    sendBufferSize_ = static_cast<std::uint32_t>(bytes);
    sendQueue_ = SendRing(std::move(pool), static_cast<std::uint32_t>(bytes));
    return true;
}

void CTcpSockStream::pairWith(CTcpSockStream& partner) {
    partner_ = &partner;
    partner.partner_ = this;
}

void CTcpSockStream::readNames() {
    if (!ConnectedPeer(peerAddress_, peerPort_)) {
        GetPeerName(peerAddress_, peerPort_);
    }
    bindNameDue_ = true;
}

void CTcpSockStream::acceptedFrom(const std::string& peerAddress, std::uint32_t peerPort) {
    peerAddress_ = peerAddress;
    peerPort_ = peerPort;
    bindNameDue_ = true;
}

void CTcpSockStream::readBindName() const {
    // Most connections end without anyone asking: the lookup is spared for them.
    if (bindNameDue_ && isOpen()) {
        bindNameDue_ = false;
        GetSockName(bindIp_, bindPort_);
    }
}

SendRing CTcpSockStream::takeSendQueue() {
    SendRing queue = std::move(sendQueue_);
    queued_ = 0;
    return queue;
}

bool CTcpSockStream::queueOwnBytes(const std::string& bytes) {
    if (!sendQueue_.append(reinterpret_cast<const unsigned char*>(bytes.data()),
                           static_cast<std::uint32_t>(bytes.size()))) {
        return false;
    }
    queued_ = sendQueue_.size();
    return true;
}

void CTcpSockStream::dropFailedConnect() {
    Close();
    inbound_ = Flow::Open;
    connectState_ = ConnectState::Connecting;
}

std::uint32_t CTcpSockStream::getSendFreeSize() const {
    return sendBufferSize_ - queued_;
}

void CTcpSockStream::queueChanged() {
    queued_ = sendQueue_.size();
    if (mostQueued_ < queued_) {
        mostQueued_ = queued_;
    }
}

void CTcpSockStream::resumePartnerReading() {
    if (partner_ != nullptr && partner_->receivePaused_) {
        partner_->receivePaused_ = false;
        partner_->ResumeReceive();
    }
}

void CTcpSockStream::reportError(int err) {
    if (parent_ != nullptr) {
        inbound_ = Flow::Aborted;
        parent_->notifyOnError(static_cast<int>(index_), side_, err);
    }
}

bool CTcpSockStream::writeSendBuffer2Socket() {
    TRACE("CTcpSockStream::writeSendBuffer2Socket() sRemainCount=%d\n", queued_);
    bool sentSome = false;
    bool failed = false;
    // A send that takes nothing fails as a would-block, so this loop always advances or ends.
    while (queued_ > 0) {
        SendRing::Spans data = sendQueue_.dataSpans();
        int sent = SendFrom(data.first, static_cast<int>(data.firstLength), data.second,
                            static_cast<int>(data.secondLength));
        TRACE("★SEND reqSize=%d, sendSize=%d\n", queued_, sent);
        if (sent == SOCKET_ERROR) {
            failed = true;
            break;
        }
        TRACE("●--●SEND BUFFER SendSize=%d\n", sent);
        sendQueue_.consume(static_cast<std::uint32_t>(sent));
        queueChanged();
        sentSome = true;
    }
    if (sentSome) {
        resumePartnerReading();
    }
    if (!failed) {
        return true;
    }
    int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
        // The rest waits for OnSend.
        TRACE("SEND BLOCK kind=%s, sRemainCount=%d\n", sideName(side_), queued_);
        return true;
    }
    TRACE("★●▲Error:CTcpSockStream::writeSendBuffer() err=%d\n", err);
    if (parent_ != nullptr) {
        reportError(err);
        return false;
    }
    return true;
}

void CTcpSockStream::OnReceive(int nErrorCode) {
    if (nErrorCode != 0) {
        reportError(nErrorCode);
        TRACE("Error:CTcpSockStream::OnReceive() nErrorCode=%d, err=%d\n", nErrorCode,
              WSAGetLastError());
        return;
    }
    if (partner_ == nullptr) {
        TRACE("Error:CTcpSockStream::OnReceive() NOT PairSocket\n");
        return;
    }
    CTcpSockStream& partner = *partner_;
    std::uint32_t room = partner.getSendFreeSize();
    if (room == 0) {
        // Leave reading paused until the partner has sent from its queue.
        TRACE("Error:CTcpSockStream::OnReceive() SendBuffer FULL PairSocket\n");
        receivePaused_ = true;
        return;
    }
    SendRing::Spans free = partner.sendQueue_.freeSpans(room);
    if (!partner.sendQueue_.hasBlock()) {
        TRACE("Error:CTcpSockStream::OnReceive() SendBuffer ALLOC FAILED size=%d\n",
              partner.sendBufferSize_);
        reportError(WSAENOBUFS);
        return;
    }
    int n = ReceiveInto(free.first, static_cast<int>(free.firstLength), free.second,
                        static_cast<int>(free.secondLength));
    if (n >= 1) {
        receivedBytes_ += static_cast<std::uint32_t>(n);
        partner.sendQueue_.commit(static_cast<std::uint32_t>(n));
        partner.queueChanged();
        if (partner.connectState_ == ConnectState::Connected) {
            // While the partner still connects, its first OnSend delivers the queue.
            partner.writeSendBuffer2Socket();
        }
        return;
    }
    partner.sendQueue_.releaseIfEmpty();
    int err = WSAGetLastError();
    if (n == SOCKET_ERROR) {
        if (err == WSAEWOULDBLOCK) {
            return;
        }
        TRACE("Error:CTcpSockStream::OnReceive() err=%d\n", err);
        reportError(err);
        return;
    }
    // End of stream: whatever the partner still holds from this peer is sent first.
    TRACE("SIZE ZERO Error:CTcpSockStream::OnReceive() err=%d\n", err);
    peerHasEnded();
}

void CTcpSockStream::OnSend(int nErrorCode) {
    TRACE("★★★★★ONSEND START kind = %s, nErrorCode=%d\n", sideName(side_), nErrorCode);
    if (nErrorCode != 0) {
        return;
    }
    if (!writeSendBuffer2Socket()) {
        return;
    }
    if (queued_ == 0 && partner_ != nullptr && partner_->inbound_ == Flow::Draining) {
        TRACE("☆☆☆☆CTcpSockStream::OnSend() Close Pendig End \n");
        partner_->advanceClose();
    }
}

void CTcpSockStream::OnClose(int nErrorCode) {
    if (nErrorCode != 0) {
        reportError(nErrorCode);
        TRACE("Error:CTcpSockStream::OnReceive() err=%d\n", WSAGetLastError());
        return;
    }
    peerHasEnded();
}

void CTcpSockStream::peerHasEnded() {
    if (parent_ == nullptr || inbound_ != Flow::Open) {
        return;
    }
    inbound_ = Flow::Draining;
    advanceClose();
}

void CTcpSockStream::advanceClose() {
    if (parent_ == nullptr || partner_ == nullptr) {
        return;
    }
    CTcpSockStream& partner = *partner_;
    if (inbound_ == Flow::Draining && partner.queued_ == 0 &&
        (!halfClose_ || partner.connectState_ == ConnectState::Connected)) {
        inbound_ = Flow::Ended;
    }
    switch (inbound_) {
        case Flow::Open:
        case Flow::Aborted:
            return;
        case Flow::Draining:
            if (!closePending_ && partner.queued_ > 0) {
                TRACE("■■■■■CTcpSockStream::OnClose() SendRemain=%ld\n",
                      static_cast<long>(partner.queued_));
            }
            closePending_ = true;
            return;
        case Flow::Ended:
            if (!halfClose_) {
                // What this stream still holds for its own peer goes out with the closing
                // socket; bytes of an ended partner's peer still queued here go out first.
                if (partner.inbound_ != Flow::Draining) {
                    parent_->notifyOnClose(static_cast<int>(index_), side_);
                }
                return;
            }
            inbound_ = Flow::Shut;
            partner.ShutDown(SHUT_WR);
            [[fallthrough]];
        case Flow::Shut:
            if (partner.inbound_ == Flow::Shut) {
                parent_->notifyOnClose(static_cast<int>(index_), side_);
            }
            return;
    }
}

void CTcpSockStream::OnConnect(int nErrorCode) {
    if (nErrorCode == 0) {
        if (parent_ != nullptr) {
            parent_->notifyOnConnect(static_cast<int>(index_), side_);
        }
        return;
    }
    reportError(nErrorCode);
    TRACE("Error:CTcpSockStream::OnConnect() err=%d\n", WSAGetLastError());
}

void CTcpSockStream::OnOutOfBandData(int /*nErrorCode*/) {
    TRACE("-----------OnOutOfBandData()\n");
}
