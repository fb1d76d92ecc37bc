#include "relay/tcp_repeater.h"

#include <climits>

#include "address/ip_filter.h"
#include "platform/trace.h"
#include "platform/wsa_error.h"

namespace {
bool validSlot(int slot, std::size_t size) {
    return slot >= 0 && static_cast<std::size_t>(slot) < size;
}
}  // namespace

CTcpRepeater::CTcpRepeater() = default;

CTcpRepeater::~CTcpRepeater() {
    // No reports here: the listener may already be on its way out.
    for (auto& pair : pairs) {
        if (pair) {
            closePairStreams(*pair);
        }
    }
    pairs.clear();
    listenSocket.Close();
}

void CTcpRepeater::setListenBind(int enabled, const std::string& ip) {
    listenBindEnabled = enabled;
    listenBindIp = ip;
}

void CTcpRepeater::setConnectBind(int enabled, const std::string& ip) {
    connectBindEnabled = enabled;
    connectBindIp = ip;
}

void CTcpRepeater::start(int listenPort, const std::string& host, int destinationPort) {
    port = listenPort;
    forwardHost = host;
    forwardPort = destinationPort;
    const char* bindAddress = listenBindEnabled != 0 ? listenBindIp.c_str() : nullptr;
    if (!listenSocket.Create(port, SOCK_STREAM, FD_ALL_EVENTS, bindAddress)) {
        TRACE("Error:CTcpRepeater::start()-Create() err=%d\n", WSAGetLastError());
        return;
    }
    int on = 1;
    if (!listenSocket.SetSockOpt(SO_REUSEADDR, &on, sizeof on, SOL_SOCKET)) {
        TRACE("Error:CTcpRepeater::start()-SetSockOpt(() err=%d\n", WSAGetLastError());
        return;
    }
    listenSocket.parent = this;
    if (!listenSocket.Listen(SOMAXCONN)) {
        TRACE("Error:CTcpRepeater::start()-Listen() err=%d\n", WSAGetLastError());
        return;
    }
    listening_ = true;
    TRACE("CTcpRepeater::start()-Listen() OK! Port=%d\n", port);
}

void CTcpRepeater::stop() {
    // The closing of the last pair empties the table, which ends the walk.
    for (int slot = 0; validSlot(slot, pairs.size()); ++slot) {
        closePair(slot);
    }
    listenSocket.Close();
    listening_ = false;
}

unsigned int CTcpRepeater::getListenPort() const {
    std::string address;
    unsigned int bound = 0;
    if (!listenSocket.isOpen() || !listenSocket.GetSockName(address, bound)) {
        return 0;
    }
    return bound;
}

std::shared_ptr<BufferPool> CTcpRepeater::poolForBufferSize() {
    long long kb = bufferSize < 1 ? 1 : bufferSize;
    long long bytes = kb * 1024;
    if (bytes > INT_MAX) {
        return nullptr;
    }
    if (!pool_ || pool_->blockSize() != static_cast<std::size_t>(bytes)) {
        // Pairs still holding the old pool keep it alive until they close.
        pool_ = std::make_shared<BufferPool>(static_cast<std::size_t>(bytes));
    }
    return pool_;
}

void CTcpRepeater::notifyOnAccept(int /*index*/, std::string /*kind*/) {
    auto accepted = std::make_unique<CTcpSockStream>();
    std::string peer;
    unsigned int peerPortNumber = 0;
    if (!listenSocket.Accept(*accepted, &peer, &peerPortNumber)) {
        TRACE("Error:CTcpRepeater::notifyOnAccept()-Accept() err=%d\n", WSAGetLastError());
        return;
    }
    if (ipFilter != nullptr && ipFilter->checkAddress(peer) == 0) {
        accepted.reset();
        TRACE("★★接続を拒否★★ PeerAddress=%s, port=%d\n", peer.c_str(), peerPortNumber);
        return;
    }
    accepted->peerAddress = peer;
    accepted->peerPort = peerPortNumber;
    accepted->readNamesOnDemand(true, false);
    TRACE("接続を受け付けました。PeerAddress=%s, port=%d\n", peer.c_str(), peerPortNumber);

    std::shared_ptr<BufferPool> pool = poolForBufferSize();
    accepted->parent = this;
    accepted->setKind("acceptSocket");
    if (!accepted->allocateBuffers(bufferSize, pool)) {
        TRACE("Error:CTcpRepeater::notifyOnAccept()-allocateBuffers() FAILED size=%d\n",
              bufferSize);
        return;
    }

    auto outgoing = std::make_unique<CTcpSockStream>();
    const char* bindAddress = connectBindEnabled != 0 ? connectBindIp.c_str() : nullptr;
    // A failure here shows up as the connect failure below.
    outgoing->Create(0, SOCK_STREAM, FD_ALL_EVENTS, bindAddress);
    outgoing->parent = this;
    outgoing->setKind("connectSocket");
    outgoing->allocateBuffers(bufferSize, pool);

    accepted->pairSocket = outgoing.get();
    outgoing->pairSocket = accepted.get();
    auto pair = std::make_unique<CTcpSockPair>();
    pair->acceptSocket = std::move(accepted);
    pair->connectSocket = std::move(outgoing);
    CTcpSockPair& added = *pair;
    int slot = addPair(std::move(pair));
    added.acceptSocket->index = static_cast<std::uint32_t>(slot);
    added.connectSocket->index = static_cast<std::uint32_t>(slot);

    if (added.connectSocket->Connect(forwardHost.c_str(), forwardPort)) {
        TRACE("CTcpRepeater::notifyOnAccept()-Connect() OK host=%s, port=%d \n",
              forwardHost.c_str(), forwardPort);
        markConnected(added);
        reportConnectionCount();
        return;
    }
    int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
        TRACE("CTcpRepeater::notifyOnAccept()-Connect() WSAEWOULDBLOCK  host=%s, port=%d \n",
              forwardHost.c_str(), forwardPort);
        added.acceptSocket->connectState = Connecting;
        added.connectSocket->connectState = Connecting;
        return;
    }
    TRACE("CTcpA2AModel::notifyOnAccept() CONNECT FAILE! hostname=%s, port=%d err=%d\n",
          forwardHost.c_str(), forwardPort, err);
    closePair(slot);
}

void CTcpRepeater::markConnected(CTcpSockPair& pair) {
    if (pair.acceptSocket->connectState != Connected ||
        pair.connectSocket->connectState != Connected) {
        ++connectedCount_;
    }
    pair.acceptSocket->connectState = Connected;
    pair.connectSocket->connectState = Connected;
    pair.connectSocket->readNamesOnDemand(true, true);
}

void CTcpRepeater::notifyOnConnect(int index, std::string /*kind*/) {
    TRACE("CTcpRepeater::notifyOnConnect()\n");
    if (validSlot(index, pairs.size()) && pairs[index]) {
        markConnected(*pairs[index]);
        reportConnectionCount();
    }
}

void CTcpRepeater::notifyOnClose(int index, std::string /*kind*/) {
    TRACE("CTcpRepeater::notifyOnClose()\n");
    closePair(index);
}

void CTcpRepeater::notifyOnError(int index, std::string kind, int err) {
    TRACE("CTcpRepeater::notifyOnError() index=%d, kind=%s, err=%d\n", index, kind.c_str(), err);
    closePair(index);
}

int CTcpRepeater::addPair(std::unique_ptr<CTcpSockPair> pair) {
    ++occupiedSlots_;
    if (!freeSlots_.empty()) {
        int slot = *freeSlots_.begin();
        freeSlots_.erase(freeSlots_.begin());
        pairs[slot] = std::move(pair);
        return slot;
    }
    pairs.push_back(std::move(pair));
    return static_cast<int>(pairs.size()) - 1;
}

void CTcpRepeater::closePairStreams(CTcpSockPair& pair) {
    // Accept side first; each socket is shut down both ways before it is closed.
    for (auto* stream : {&pair.acceptSocket, &pair.connectSocket}) {
        if (*stream) {
            (*stream)->ShutDown(SHUT_RDWR);
            (*stream)->Close();
            stream->reset();
        }
    }
}

void CTcpRepeater::closePair(int slot) {
    if (!validSlot(slot, pairs.size())) {
        return;
    }
    if (pairs[slot]) {
        std::unique_ptr<CTcpSockPair> pair = std::move(pairs[slot]);
        if (pair->acceptSocket->connectState == Connected &&
            pair->connectSocket->connectState == Connected) {
            --connectedCount_;
        }
        closePairStreams(*pair);
        pair.reset();
        --occupiedSlots_;
        freeSlots_.insert(slot);
    }
    if (occupiedSlots_ == 0) {
        pairs.clear();
        freeSlots_.clear();
    }
    reportConnectionCount();
}

void CTcpRepeater::reportConnectionCount() {
    if (listener != nullptr) {
        listener->notifyConnectionCount(connectedCount_);
    }
}

CTcpSockPair* CTcpRepeater::getNextPair(int& cursor) {
    if (cursor < 0) {
        return nullptr;
    }
    for (std::size_t slot = static_cast<std::size_t>(cursor); slot < pairs.size(); ++slot) {
        if (pairs[slot]) {
            cursor = static_cast<int>(slot) + 1;
            return pairs[slot].get();
        }
    }
    cursor = -1;
    return nullptr;
}
