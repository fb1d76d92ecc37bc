#include "relay/tcp_repeater.h"

#include <climits>

#include "address/ip_filter.h"
#include "platform/socket_event_loop.h"
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
    resolver_.reset();
    for (auto& pair : pairs) {
        if (pair) {
            closePairStreams(*pair, {});
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

void CTcpRepeater::setLookupFunction(LookupFunction lookup) {
    lookup_ = std::move(lookup);
    resolver_.reset();
}

bool CTcpRepeater::start(int listenPort, const std::string& host, int destinationPort) {
    port = listenPort;
    forwardHost = host;
    forwardPort = destinationPort;
    // Create sets SO_REUSEADDR before it binds a fixed port, where it takes effect.
    const char* bindAddress = listenBindEnabled != 0 ? listenBindIp.c_str() : nullptr;
    if (!listenSocket.Create(port, SOCK_STREAM, FD_ALL_EVENTS, bindAddress)) {
        TRACE("Error:CTcpRepeater::start()-Create() err=%d\n", WSAGetLastError());
        return false;
    }
    listenSocket.parent = this;
    if (!listenSocket.Listen(SOMAXCONN)) {
        TRACE("Error:CTcpRepeater::start()-Listen() err=%d\n", WSAGetLastError());
        listenSocket.Close();  // leaves the error number as it was
        return false;
    }
    listening_ = true;
    TRACE("CTcpRepeater::start()-Listen() OK! Port=%d\n", static_cast<int>(getListenPort()));
    return true;
}

void CTcpRepeater::stop() {
    // The closing of the last pair empties the table, which ends the walk.
    for (int slot = 0; validSlot(slot, pairs.size()); ++slot) {
        closePair(slot);
    }
    listenSocket.Close();
    listening_ = false;
    closer_.closeAll();
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

CTcpSockPair* CTcpRepeater::pairAt(int slot) {
    return validSlot(slot, pairs.size()) ? pairs[slot].get() : nullptr;
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
    accepted->GetSockName(accepted->bindIp, accepted->bindPort);
    TRACE("接続を受け付けました。PeerAddress=%s, port=%d\n", peer.c_str(), peerPortNumber);

    std::unique_ptr<CTcpSockPair> pair = makePair(std::move(accepted));
    if (!pair) {
        return;
    }
    int slot = addPair(std::move(pair));
    pairs[slot]->acceptSocket->index = static_cast<std::uint32_t>(slot);
    pairs[slot]->connectSocket->index = static_cast<std::uint32_t>(slot);

    SocketAddress numeric;
    if (parseNumericAddress(forwardHost, forwardPort, numeric)) {
        connectPair(slot, {numeric}, 0);
        return;
    }
    lookUpDestination(slot);
}

std::unique_ptr<CTcpSockPair> CTcpRepeater::makePair(std::unique_ptr<CTcpSockStream> accepted) {
    std::shared_ptr<BufferPool> pool = poolForBufferSize();
    accepted->parent = this;
    accepted->setKind("acceptSocket");
    if (!accepted->allocateBuffers(bufferSize, pool)) {
        TRACE("Error:CTcpRepeater::notifyOnAccept()-allocateBuffers() FAILED size=%d\n",
              bufferSize);
        return nullptr;
    }
    auto outgoing = std::make_unique<CTcpSockStream>();
    const char* bindAddress = connectBindEnabled != 0 ? connectBindIp.c_str() : nullptr;
    // A failure here shows up as the connect failure.
    outgoing->Create(0, SOCK_STREAM, FD_ALL_EVENTS, bindAddress);
    outgoing->parent = this;
    outgoing->setKind("connectSocket");
    outgoing->allocateBuffers(bufferSize, pool);

    accepted->pairSocket = outgoing.get();
    outgoing->pairSocket = accepted.get();
    auto pair = std::make_unique<CTcpSockPair>();
    pair->acceptSocket = std::move(accepted);
    pair->connectSocket = std::move(outgoing);
    return pair;
}

void CTcpRepeater::lookUpDestination(int slot) {
    CTcpSockPair& pair = *pairs[slot];
    // Client data waits in the queue meanwhile, as during a slow connect.
    pair.acceptSocket->connectState = Connecting;
    pair.connectSocket->connectState = Connecting;
    SocketEventLoop* loop = SocketEventLoop::current();
    if (!resolver_ && loop != nullptr) {
        resolver_ = std::make_unique<HostResolver>(loop->inbox(), lookup_);
    }
    if (!resolver_) {
        connectPair(slot, {}, WSANOTINITIALISED);
        return;
    }
    pair.lookupTicket = resolver_->lookup(
        forwardHost, forwardPort,
        [this, slot](std::uint64_t ticket, int error, std::vector<SocketAddress> addresses) {
            CTcpSockPair* waiting = pairAt(slot);
            if (waiting != nullptr && waiting->lookupTicket == ticket) {
                waiting->lookupTicket = 0;
                connectPair(slot, addresses, error);
            }
        });
}

void CTcpRepeater::connectPair(int slot, const std::vector<SocketAddress>& addresses,
                               int lookupError) {
    CTcpSockPair& pair = *pairs[slot];
    if (lookupError == 0 && pair.connectSocket->ConnectTo(addresses)) {
        TRACE("CTcpRepeater::notifyOnAccept()-Connect() OK host=%s, port=%d \n",
              forwardHost.c_str(), forwardPort);
        markConnected(pair);
        reportConnectionCount();
        return;
    }
    int err = lookupError != 0 ? lookupError : WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
        TRACE("CTcpRepeater::notifyOnAccept()-Connect() WSAEWOULDBLOCK  host=%s, port=%d \n",
              forwardHost.c_str(), forwardPort);
        pair.acceptSocket->connectState = Connecting;
        pair.connectSocket->connectState = Connecting;
        return;
    }
    TRACE("CTcpA2AModel::notifyOnAccept() CONNECT FAILE! hostname=%s, port=%d err=%d\n",
          forwardHost.c_str(), forwardPort, err);
    closePair(slot, {pair.connectSocket.get(), false});
}

void CTcpRepeater::markConnected(CTcpSockPair& pair) {
    if (pair.acceptSocket->connectState != Connected ||
        pair.connectSocket->connectState != Connected) {
        ++connectedCount_;
    }
    pair.acceptSocket->connectState = Connected;
    pair.connectSocket->connectState = Connected;
    pair.connectSocket->readNames();
}

void CTcpRepeater::notifyOnConnect(int index, std::string /*kind*/) {
    TRACE("CTcpRepeater::notifyOnConnect()\n");
    if (CTcpSockPair* pair = pairAt(index)) {
        markConnected(*pair);
        reportConnectionCount();
    }
}

void CTcpRepeater::notifyOnClose(int index, std::string /*kind*/) {
    TRACE("CTcpRepeater::notifyOnClose()\n");
    closePair(index);
}

void CTcpRepeater::notifyOnError(int index, std::string kind, int err) {
    TRACE("CTcpRepeater::notifyOnError() index=%d, kind=%s, err=%d\n", index, kind.c_str(), err);
    PairEnding ending;
    if (CTcpSockPair* pair = pairAt(index)) {
        ending.failed =
            kind == "acceptSocket" ? pair->acceptSocket.get() : pair->connectSocket.get();
        ending.reset = err == WSAECONNRESET;
    }
    closePair(index, ending);
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

void CTcpRepeater::closePairStreams(CTcpSockPair& pair, PairEnding ending) {
    if (pair.lookupTicket != 0 && resolver_) {
        resolver_->cancel(pair.lookupTicket);
    }
    // Accept side first. A failed socket, and both on a reset, close at once; otherwise the
    // socket lingers until what it holds has reached its peer.
    for (auto* stream : {&pair.acceptSocket, &pair.connectSocket}) {
        if (!*stream) {
            continue;
        }
        if (ending.reset || stream->get() == ending.failed) {
            (*stream)->ShutDown(SHUT_RDWR);
            (*stream)->Close();
        } else {
            closer_.close(**stream, (*stream)->takeSendQueue());
        }
        stream->reset();
    }
}

void CTcpRepeater::closePair(int slot, PairEnding ending) {
    if (!validSlot(slot, pairs.size())) {
        return;
    }
    if (pairs[slot]) {
        std::unique_ptr<CTcpSockPair> pair = std::move(pairs[slot]);
        if (pair->acceptSocket->connectState == Connected &&
            pair->connectSocket->connectState == Connected) {
            --connectedCount_;
        }
        closePairStreams(*pair, ending);
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
