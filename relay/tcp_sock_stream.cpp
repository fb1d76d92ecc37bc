#include "relay/tcp_sock_stream.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/trace.h"
#include "platform/wsa_error.h"
#include "relay/tcp_sock_stream_parent.h"

namespace {
// A send that reports 0 bytes taken is retried, but not forever.
constexpr int kZeroSendRetries = 16;
}  // namespace

CTcpSockStream::CTcpSockStream() {
    TRACE("CTcpSockStream::CTcpSockStream() STREAM を生成\n");
}

CTcpSockStream::~CTcpSockStream() {
    TRACE("CTcpSockStream::~CTcpSockStream() STREAM を破棄\n");
    if (sendBlock_ != nullptr && pool_) {
        pool_->release(sendBlock_);
    }
    sendBlock_ = nullptr;
}

bool CTcpSockStream::allocateBuffers(int sizeKb, std::shared_ptr<BufferPool> pool) {
    long long kb = sizeKb < 1 ? 1 : sizeKb;
    long long bytes = kb * 1024;
    if (bytes > INT_MAX || !pool || pool->blockSize() < static_cast<std::size_t>(bytes)) {
        return false;
    }
    recvBufferSize = static_cast<std::int32_t>(bytes);
    sendBufferSize = static_cast<std::int32_t>(bytes);
    pool_ = std::move(pool);
    return true;
}

void CTcpSockStream::readNamesOnDemand(bool local, bool remote) {
    localNamePending_ = local;
    remoteNamePending_ = remote;
}

void CTcpSockStream::readPendingNames() const {
    if (localNamePending_) {
        localNamePending_ = false;
        GetSockName(bindIp, bindPort);
    }
    if (remoteNamePending_) {
        remoteNamePending_ = false;
        GetPeerName(peerAddress, peerPort);
    }
}

std::uint32_t CTcpSockStream::getSendFreeSize() const {
    return static_cast<std::uint32_t>(sendBufferSize) - sRemainCount;
}

bool CTcpSockStream::ensureSendBlock() {
    if (sendBlock_ == nullptr && pool_) {
        sendBlock_ = pool_->acquire();
        sendHead_ = 0;
    }
    return sendBlock_ != nullptr;
}

void CTcpSockStream::releaseSendBlockIfEmpty() {
    if (sRemainCount == 0 && sendBlock_ != nullptr) {
        pool_->release(sendBlock_);
        sendBlock_ = nullptr;
        sendHead_ = 0;
    }
}

void CTcpSockStream::queued(std::uint32_t length) {
    sRemainCount += length;
    if (maxRemainCount < sRemainCount) {
        maxRemainCount = sRemainCount;
    }
}

void CTcpSockStream::appendSendBuffer(const unsigned char* bytes, std::uint32_t length) {
    if (length > getSendFreeSize() || length == 0 || !ensureSendBlock()) {
        return;
    }
    auto capacity = static_cast<std::uint32_t>(sendBufferSize);
    std::uint32_t tail = (sendHead_ + sRemainCount) % capacity;
    std::uint32_t first = std::min(length, capacity - tail);
    std::memcpy(sendBlock_ + tail, bytes, first);
    std::memcpy(sendBlock_, bytes + first, length - first);
    queued(length);
}

void CTcpSockStream::resumePartnerReading() {
    if (pairSocket != nullptr && pairSocket->receivePaused_) {
        pairSocket->receivePaused_ = false;
        pairSocket->ResumeReceive();
    }
}

bool CTcpSockStream::writeSendBuffer2Socket() {
    TRACE("CTcpSockStream::writeSendBuffer2Socket() sRemainCount=%d\n", sRemainCount);
    auto capacity = static_cast<std::uint32_t>(sendBufferSize);
    bool sentSome = false;
    bool failed = false;
    int zeroSends = 0;
    while (sRemainCount > 0) {
        std::uint32_t first = std::min(sRemainCount, capacity - sendHead_);
        int sent = SendFrom(sendBlock_ + sendHead_, static_cast<int>(first), sendBlock_,
                            static_cast<int>(sRemainCount - first));
        TRACE("★SEND reqSize=%d, sendSize=%d\n", sRemainCount, sent);
        if (sent == SOCKET_ERROR) {
            failed = true;
            break;
        }
        if (sent == 0) {
            if (++zeroSends > kZeroSendRetries) {
                break;
            }
            continue;
        }
        TRACE("●--●SEND BUFFER SendSize=%d\n", sent);
        sRemainCount -= static_cast<std::uint32_t>(sent);
        sendHead_ =
            sRemainCount == 0 ? 0 : (sendHead_ + static_cast<std::uint32_t>(sent)) % capacity;
        sentSome = true;
    }
    if (sentSome) {
        releaseSendBlockIfEmpty();
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
        parent->notifyOnError(static_cast<int>(index), kind, err);
        return false;
    }
    return true;
}

void CTcpSockStream::OnReceive(int nErrorCode) {
    if (nErrorCode != 0) {
        if (parent != nullptr) {
            parent->notifyOnError(static_cast<int>(index), kind, nErrorCode);
        }
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
    if (!partner.ensureSendBlock()) {
        TRACE("Error:CTcpSockStream::OnReceive() SendBuffer ALLOC FAILED size=%d\n",
              partner.sendBufferSize);
        if (parent != nullptr) {
            parent->notifyOnError(static_cast<int>(index), kind, WSAENOBUFS);
        }
        return;
    }
    auto capacity = static_cast<std::uint32_t>(partner.sendBufferSize);
    std::uint32_t tail = (partner.sendHead_ + partner.sRemainCount) % capacity;
    std::uint32_t first = std::min(room, capacity - tail);
    int n = ReceiveInto(partner.sendBlock_ + tail, static_cast<int>(first), partner.sendBlock_,
                        static_cast<int>(room - first));
    if (n >= 1) {
        partner.queued(static_cast<std::uint32_t>(n));
        if (partner.connectState == Connected) {
            // While the partner still connects, its first OnSend delivers the queue.
            partner.writeSendBuffer2Socket();
        }
        return;
    }
    partner.releaseSendBlockIfEmpty();
    int err = WSAGetLastError();
    if (n == SOCKET_ERROR) {
        if (err == WSAEWOULDBLOCK) {
            return;
        }
        TRACE("Error:CTcpSockStream::OnReceive() err=%d\n", err);
        if (parent != nullptr) {
            parent->notifyOnError(static_cast<int>(index), kind, err);
        }
        return;
    }
    // End of stream: whatever the partner still holds from this peer is sent first.
    TRACE("SIZE ZERO Error:CTcpSockStream::OnReceive() err=%d\n", err);
    OnClose(0);
}

void CTcpSockStream::OnSend(int nErrorCode) {
    TRACE("★★★★★ONSEND START kind = %s, nErrorCode=%d\n", kind.c_str(), nErrorCode);
    if (nErrorCode != 0) {
        return;
    }
    if (!writeSendBuffer2Socket()) {
        return;
    }
    if (sRemainCount == 0 && pairSocket != nullptr && pairSocket->closePending == 1) {
        TRACE("☆☆☆☆CTcpSockStream::OnSend() Close Pendig End \n");
        pairSocket->OnClose(0);
    }
}

void CTcpSockStream::OnClose(int nErrorCode) {
    if (nErrorCode != 0) {
        if (parent != nullptr) {
            parent->notifyOnError(static_cast<int>(index), kind, nErrorCode);
        }
        TRACE("Error:CTcpSockStream::OnReceive() err=%d\n", WSAGetLastError());
        return;
    }
    if (parent == nullptr) {
        return;
    }
    std::uint32_t remain = pairSocket != nullptr ? pairSocket->sRemainCount : 0;
    bool partnerClosed = pairSocket != nullptr && pairSocket->closePending == 1;
    if (partnerClosed) {
        // Both peers have closed: each queue still goes out as far as its receiver takes it.
        closePending = 1;
        if (remain == 0 && sRemainCount == 0) {
            parent->notifyOnClose(static_cast<int>(index), kind);
        } else if (remain > 0) {
            TRACE("■■■■■CTcpSockStream::OnClose() SendRemain=%ld\n", static_cast<long>(remain));
        }
        return;
    }
    if (remain == 0) {
        parent->notifyOnClose(static_cast<int>(index), kind);
        return;
    }
    closePending = 1;
    TRACE("■■■■■CTcpSockStream::OnClose() SendRemain=%ld\n", static_cast<long>(remain));
}

void CTcpSockStream::OnConnect(int nErrorCode) {
    if (nErrorCode == 0) {
        if (parent != nullptr) {
            parent->notifyOnConnect(static_cast<int>(index), kind);
        }
        return;
    }
    if (parent != nullptr) {
        parent->notifyOnError(static_cast<int>(index), kind, nErrorCode);
    }
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
