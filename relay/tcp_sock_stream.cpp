#include "relay/tcp_sock_stream.h"

#include <climits>

#include "platform/trace.h"
#include "platform/wsa_error.h"
#include "relay/tcp_sock_stream_parent.h"

CTcpSockStream::CTcpSockStream() {
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
    recvBufferSize = static_cast<std::int32_t>(bytes);
    sendBufferSize = static_cast<std::int32_t>(bytes);
    sendQueue_ = SendRing(std::move(pool), static_cast<std::uint32_t>(bytes));
    return true;
}

void CTcpSockStream::readNames() {
    GetSockName(bindIp, bindPort);
    GetPeerName(peerAddress, peerPort);
}

SendRing CTcpSockStream::takeSendQueue() {
    SendRing queue = std::move(sendQueue_);
    sRemainCount = 0;
    return queue;
}

std::uint32_t CTcpSockStream::getSendFreeSize() const {
    return static_cast<std::uint32_t>(sendBufferSize) - sRemainCount;
}

void CTcpSockStream::queueChanged() {
    sRemainCount = sendQueue_.size();
    if (maxRemainCount < sRemainCount) {
        maxRemainCount = sRemainCount;
    }
}

void CTcpSockStream::appendSendBuffer(const unsigned char* bytes, std::uint32_t length) {
    if (length <= getSendFreeSize() && sendQueue_.append(bytes, length)) {
        queueChanged();
    }
}

void CTcpSockStream::resumePartnerReading() {
    if (pairSocket != nullptr && pairSocket->receivePaused_) {
        pairSocket->receivePaused_ = false;
        pairSocket->ResumeReceive();
    }
}

void CTcpSockStream::reportError(int err) {
    if (parent != nullptr) {
        inbound_ = Flow::Aborted;
        parent->notifyOnError(static_cast<int>(index), kind, err);
    }
}

bool CTcpSockStream::writeSendBuffer2Socket() {
    TRACE("CTcpSockStream::writeSendBuffer2Socket() sRemainCount=%d\n", sRemainCount);
    bool sentSome = false;
    bool failed = false;
    // A send that takes nothing fails as a would-block, so this loop always advances or ends.
    while (sRemainCount > 0) {
        SendRing::Spans data = sendQueue_.dataSpans();
        int sent = SendFrom(data.first, static_cast<int>(data.firstLength), data.second,
                            static_cast<int>(data.secondLength));
        TRACE("★SEND reqSize=%d, sendSize=%d\n", sRemainCount, sent);
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
        TRACE("SEND BLOCK kind=%s, sRemainCount=%d\n", kind.c_str(), sRemainCount);
        return true;
    }
    TRACE("★●▲Error:CTcpSockStream::writeSendBuffer() err=%d\n", err);
    if (parent != nullptr) {
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
    if (pairSocket == nullptr) {
        TRACE("Error:CTcpSockStream::OnReceive() NOT PairSocket\n");
        return;
    }
    CTcpSockStream& partner = *pairSocket;
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
              partner.sendBufferSize);
        reportError(WSAENOBUFS);
        return;
    }
    int n = ReceiveInto(free.first, static_cast<int>(free.firstLength), free.second,
                        static_cast<int>(free.secondLength));
    if (n >= 1) {
        receivedBytes += static_cast<std::uint32_t>(n);
        partner.sendQueue_.commit(static_cast<std::uint32_t>(n));
        partner.queueChanged();
        if (partner.connectState == Connected) {
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
    TRACE("★★★★★ONSEND START kind = %s, nErrorCode=%d\n", kind.c_str(), nErrorCode);
    if (nErrorCode != 0) {
        return;
    }
    if (!writeSendBuffer2Socket()) {
        return;
    }
    if (sRemainCount == 0 && pairSocket != nullptr && pairSocket->inbound_ == Flow::Draining) {
        TRACE("☆☆☆☆CTcpSockStream::OnSend() Close Pendig End \n");
        pairSocket->advanceClose();
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
    if (parent == nullptr || inbound_ != Flow::Open) {
        return;
    }
    inbound_ = Flow::Draining;
    advanceClose();
}

void CTcpSockStream::advanceClose() {
    if (parent == nullptr || pairSocket == nullptr) {
        return;
    }
    CTcpSockStream& partner = *pairSocket;
    if (inbound_ == Flow::Draining && partner.sRemainCount == 0 &&
        (!halfClose || partner.connectState == Connected)) {
        inbound_ = Flow::Ended;
    }
    switch (inbound_) {
        case Flow::Open:
        case Flow::Aborted:
            return;
        case Flow::Draining:
            if (closePending == 0 && partner.sRemainCount > 0) {
                TRACE("■■■■■CTcpSockStream::OnClose() SendRemain=%ld\n",
                      static_cast<long>(partner.sRemainCount));
            }
            closePending = 1;
            return;
        case Flow::Ended:
            if (!halfClose) {
                // What this stream still holds for its own peer goes out with the closing
                // socket; bytes of an ended partner's peer still queued here go out first.
                if (partner.inbound_ != Flow::Draining) {
                    parent->notifyOnClose(static_cast<int>(index), kind);
                }
                return;
            }
            inbound_ = Flow::Shut;
            partner.ShutDown(SHUT_WR);
            [[fallthrough]];
        case Flow::Shut:
            if (partner.inbound_ == Flow::Shut) {
                parent->notifyOnClose(static_cast<int>(index), kind);
            }
            return;
    }
}

void CTcpSockStream::OnConnect(int nErrorCode) {
    if (nErrorCode == 0) {
        if (parent != nullptr) {
            parent->notifyOnConnect(static_cast<int>(index), kind);
        }
        return;
    }
    reportError(nErrorCode);
    TRACE("Error:CTcpSockStream::OnConnect() err=%d\n", WSAGetLastError());
}

void CTcpSockStream::OnAccept(int nErrorCode) {
    if (nErrorCode != 0) {
        TRACE("Error:CTcpSockStream::OnAccept() err=%d\n", WSAGetLastError());
        return;
    }
    if (parent != nullptr) {
        parent->notifyOnAccept(static_cast<int>(index), kind);
    }
}

void CTcpSockStream::OnOutOfBandData(int /*nErrorCode*/) {
    TRACE("-----------OnOutOfBandData()\n");
}
