#include "relay/tcp_repeater.h"

#include <algorithm>
#include <climits>

#include "address/ip_filter.h"
#include "platform/socket_event_loop.h"
#include "platform/trace.h"
#include "platform/wsa_error.h"

namespace {
using namespace std::chrono_literals;

// How often pairs are checked for silence while an idle timeout is set.
constexpr auto kIdleSweepInterval = 500ms;
// Keepalive: first probe after a minute of silence, then every 10 s, given up after 5.
constexpr int kKeepAliveIdle = 60;
constexpr int kKeepAliveInterval = 10;
constexpr int kKeepAliveProbes = 5;

bool validSlot(int slot, std::size_t size) {
    return slot >= 0 && static_cast<std::size_t>(slot) < size;
}

void resetAndClose(CTcpSockStream& stream) {
    stream.SetResetOnClose();
    stream.Close();
}

int clampedBufferKb(int sizeKb) {
    return std::clamp(sizeKb, 1, CTcpRepeater::kMaxBufferKb);
}

bool bothConnected(const CTcpSockPair& pair) {
    return pair.acceptSocket->connectState() == ConnectState::Connected &&
           pair.connectSocket->connectState() == ConnectState::Connected;
}

void keepAlive(CTcpSockStream& stream) {
    stream.SetKeepAlive(kKeepAliveIdle, kKeepAliveInterval, kKeepAliveProbes);
}
}  // namespace

CTcpRepeater::CTcpRepeater(RepeaterTuning tuning) : stopGrace_(tuning.stopGrace) {}

CTcpRepeater::~CTcpRepeater() {
    dropStopHook();
    // No reports here: the listener may already be on its way out.
    resolver_.reset();
    for (auto& pair : pairs) {
        if (pair) {
            closePairStreams(*pair, PairEnding{});
        }
    }
    pairs.clear();
    listenSocket.Close();
}

void CTcpRepeater::dropStopHook() {
    // Only on the loop it was given to, and only while that loop is still the thread's.
    if (stopHook_ != 0 && stopLoop_ != nullptr && SocketEventLoop::current() == stopLoop_) {
        stopLoop_->removeStopHook(stopHook_);
    }
    stopHook_ = 0;
    stopLoop_ = nullptr;
}

void CTcpRepeater::configure(const ForwardConfig& config) {
    config_ = config;
}

void CTcpRepeater::setLookupFunction(LookupFunction lookup) {
    lookup_ = std::move(lookup);
    resolver_.reset();
}

bool CTcpRepeater::start() {
    // Create sets SO_REUSEADDR before it binds a fixed port, where it takes effect.
    const char* bindAddress = config_.listenHost.empty() ? nullptr : config_.listenHost.c_str();
    if (!listenSocket.Create(config_.listenPort, SOCK_STREAM, FD_ALL_EVENTS, bindAddress)) {
        TRACE("Error:CTcpRepeater::start()-Create() err=%d\n", WSAGetLastError());
        return false;
    }
    if (!listenSocket.Listen(SOMAXCONN)) {
        TRACE("Error:CTcpRepeater::start()-Listen() err=%d\n", WSAGetLastError());
        listenSocket.Close();  // leaves the error number as it was
        return false;
    }
    listening_ = true;
    stopLoop_ = SocketEventLoop::current();
    if (stopLoop_ != nullptr) {
        stopHook_ = stopLoop_->addStopHook(
            [this](std::chrono::steady_clock::time_point graceEnds) { stop(graceEnds); });
    }
    if (config_.name.empty()) {
        TRACE("CTcpRepeater::start()-Listen() OK! Port=%d\n", static_cast<int>(listenPort()));
    } else {
        TRACE("CTcpRepeater::start()-Listen() OK! Port=%d Name=%s\n",
              static_cast<int>(listenPort()), config_.name.c_str());
    }
    generation_ = makeGeneration(config_, static_cast<int>(listenPort()), "TCP");
    startIdleSweep();
    return true;
}

void CTcpRepeater::update(const ForwardConfig& config) {
    if (!listening_) {
        configure(config);
        return;
    }
    config_ = config;
    generation_ = makeGeneration(config_, static_cast<int>(listenPort()), "TCP", generation_);
    startIdleSweep();
}

void CTcpRepeater::startIdleSweep() {
    // Pairs of an earlier generation may still need it, so it only ever starts here.
    if (config_.relay.idleTimeoutSeconds > 0 && !idleSweep_.active()) {
        idleSweep_.startRepeating(
            std::chrono::duration_cast<std::chrono::milliseconds>(kIdleSweepInterval),
            [this] { closeIdlePairs(); });
    }
}

void CTcpRepeater::drain() {
    // The stop hook stays: a signal still ends the pairs that are left.
    listenSocket.Close();
    listening_ = false;
}

void CTcpRepeater::stop(std::chrono::steady_clock::time_point graceEnds) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        graceEnds - std::chrono::steady_clock::now());
    std::chrono::milliseconds grace = stopGrace_;
    stopGrace_ = std::clamp(left, std::chrono::milliseconds{0}, grace);
    stop();
    stopGrace_ = grace;
}

void CTcpRepeater::stop() {
    if (SocketEventLoop* loop = SocketEventLoop::current()) {
        loop->assertInLoopThread();
    }
    dropStopHook();
    // The closing of the last pair empties the table, which ends the walk.
    for (int slot = 0; validSlot(slot, pairs.size()); ++slot) {
        closePair(slot);
    }
    listenSocket.Close();
    listening_ = false;
    idleSweep_.cancel();
    closer_.finishWithin(stopGrace_);
    closer_.closeAll();
    if (generation_ && generation_->log) {
        generation_->log->flush();
    }
}

unsigned int CTcpRepeater::listenPort() const {
    std::string address;
    unsigned int bound = 0;
    if (!listenSocket.isOpen() || !listenSocket.GetSockName(address, bound)) {
        return 0;
    }
    return bound;
}

std::shared_ptr<BufferPool> CTcpRepeater::poolForBufferSize() {
    long long bytes = static_cast<long long>(clampedBufferKb(config_.bufferSizeKb)) * 1024;
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

void CTcpRepeater::notifyOnAccept() {
    auto accepted = std::make_unique<CTcpSockStream>(Side::Accepted, this, config_.relay.halfClose);
    std::string peer;
    unsigned int peerPortNumber = 0;
    if (!listenSocket.Accept(*accepted, &peer, &peerPortNumber)) {
        TRACE("Error:CTcpRepeater::notifyOnAccept()-Accept() err=%d\n", WSAGetLastError());
        return;
    }
    if (config_.filter.checkAddress(peer) == 0) {
        accepted.reset();
        TRACE("★★接続を拒否★★ PeerAddress=%s, port=%d\n", peer.c_str(), peerPortNumber);
        if (generation_->log) {
            generation_->log->refused(ConnectionLog::endText(peer, peerPortNumber));
        }
        return;
    }
    accepted->acceptedFrom(peer, peerPortNumber);
    TRACE("接続を受け付けました。PeerAddress=%s, port=%d\n", peer.c_str(), peerPortNumber);

    std::unique_ptr<CTcpSockPair> pair = makePair(std::move(accepted));
    if (!pair) {
        return;
    }
    pair->serial = nextSerial_++;
    pair->generation = generation_;
    pair->acceptedAt = std::chrono::steady_clock::now();
    int slot = addPair(std::move(pair));
    pairs[slot]->acceptSocket->setIndex(static_cast<std::uint32_t>(slot));
    pairs[slot]->connectSocket->setIndex(static_cast<std::uint32_t>(slot));
    scheduleConnectTimeout(slot);

    if (const std::optional<SocketAddress>& numeric = generation_->numericDestination) {
        connectPair(slot, {*numeric}, 0);
        return;
    }
    lookUpDestination(slot);
}

std::unique_ptr<CTcpSockPair> CTcpRepeater::makePair(std::unique_ptr<CTcpSockStream> accepted) {
    std::shared_ptr<BufferPool> pool = poolForBufferSize();
    if (!accepted->allocateBuffers(clampedBufferKb(config_.bufferSizeKb), pool)) {
        TRACE("Error:CTcpRepeater::notifyOnAccept()-allocateBuffers() FAILED size=%d\n",
              config_.bufferSizeKb);
        return nullptr;
    }
    // Its socket is made when the destination is known, so a client waiting for a lookup
    // holds one descriptor, not two.
    auto outgoing =
        std::make_unique<CTcpSockStream>(Side::Connected, this, config_.relay.halfClose);
    outgoing->allocateBuffers(clampedBufferKb(config_.bufferSizeKb), pool);
    accepted->pairWith(*outgoing);
    auto pair = std::make_unique<CTcpSockPair>();
    pair->acceptSocket = std::move(accepted);
    pair->connectSocket = std::move(outgoing);
    return pair;
}

void CTcpRepeater::lookUpDestination(int slot) {
    CTcpSockPair& pair = *pairs[slot];
    // Client data waits in the queue meanwhile, as during a slow connect.
    pair.acceptSocket->setConnectState(ConnectState::Connecting);
    pair.connectSocket->setConnectState(ConnectState::Connecting);
    SocketEventLoop* loop = SocketEventLoop::current();
    if (!resolver_ && loop != nullptr) {
        resolver_ = std::make_unique<HostResolver>(loop->inbox(), lookup_);
    }
    if (!resolver_) {
        connectPair(slot, {}, WSANOTINITIALISED);
        return;
    }
    const ForwardConfig& settings = pair.generation->config;
    std::uint64_t ticket = resolver_->lookup(
        settings.forwardHost, settings.forwardPort,
        [this, slot](std::uint64_t ticket, int error, std::vector<SocketAddress> addresses) {
            CTcpSockPair* waiting = pairAt(slot);
            if (waiting != nullptr && waiting->lookupTicket == ticket) {
                waiting->lookupTicket = 0;
                connectPair(slot, addresses, error);
            }
        });
    if (ticket == 0) {
        // Too many lookups wait already: this client fails like a name that does not resolve.
        connectPair(slot, {}, WSAEINVAL);
        return;
    }
    pair.lookupTicket = ticket;
}

void CTcpRepeater::connectPair(int slot, const std::vector<SocketAddress>& addresses,
                               int lookupError) {
    CTcpSockPair& pair = *pairs[slot];
    const ForwardConfig& settings = pair.generation->config;
    if (lookupError == 0) {
        // Any local address; a failure here shows up as the connect failure.
        pair.connectSocket->Create(0, SOCK_STREAM, FD_ALL_EVENTS, nullptr);
    }
    if (lookupError == 0 && pair.connectSocket->ConnectTo(addresses)) {
        TRACE("CTcpRepeater::notifyOnAccept()-Connect() OK host=%s, port=%d \n",
              settings.forwardHost.c_str(), settings.forwardPort);
        markConnected(pair);
        reportConnectionCount();
        return;
    }
    int err = lookupError != 0 ? lookupError : WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
        TRACE("CTcpRepeater::notifyOnAccept()-Connect() WSAEWOULDBLOCK  host=%s, port=%d \n",
              settings.forwardHost.c_str(), settings.forwardPort);
        pair.acceptSocket->setConnectState(ConnectState::Connecting);
        pair.connectSocket->setConnectState(ConnectState::Connecting);
        return;
    }
    TRACE("CTcpA2AModel::notifyOnAccept() CONNECT FAILE! hostname=%s, port=%d err=%d\n",
          settings.forwardHost.c_str(), settings.forwardPort, err);
    closePair(slot, {pair.connectSocket.get(), "error " + std::to_string(err), err});
}

void CTcpRepeater::markConnected(CTcpSockPair& pair) {
    if (!bothConnected(pair)) {
        ++connectedCount_;
    }
    pair.acceptSocket->setConnectState(ConnectState::Connected);
    pair.connectSocket->setConnectState(ConnectState::Connected);
    pair.connectTimer.cancel();
    pair.connectSocket->readNames();
    pair.quietSince = std::chrono::steady_clock::now();
    if (pair.generation->config.relay.keepAlive) {
        keepAlive(*pair.acceptSocket);
        keepAlive(*pair.connectSocket);
    }
    if (pair.generation->log) {
        pair.generation->log->opened(endsOf(pair));
    }
}

void CTcpRepeater::notifyOnConnect(int index, Side /*side*/) {
    TRACE("CTcpRepeater::notifyOnConnect()\n");
    if (CTcpSockPair* pair = pairAt(index)) {
        markConnected(*pair);
        reportConnectionCount();
    }
}

void CTcpRepeater::notifyOnClose(int index, Side side) {
    TRACE("CTcpRepeater::notifyOnClose()\n");
    closePair(index, {nullptr, side == Side::Accepted ? "client-end" : "destination-end"});
}

void CTcpRepeater::notifyOnError(int index, Side side, int err) {
    TRACE("CTcpRepeater::notifyOnError() index=%d, kind=%s, err=%d\n", index, sideName(side), err);
    const bool client = side == Side::Accepted;
    PairEnding ending{nullptr, "error " + std::to_string(err), err};
    if (err == WSAECONNRESET) {
        ending.reason = client ? "client-reset" : "destination-reset";
    }
    if (CTcpSockPair* pair = pairAt(index)) {
        ending.failed = client ? pair->acceptSocket.get() : pair->connectSocket.get();
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

// How each socket of a closing pair ends, as a direct connection would have ended for its
// peer (a clean end only when the sending side ended cleanly):
//   the user cut the connection        both are reset
//   this socket failed                 reset: nothing more can reach its peer
//   its partner's peer ended cleanly   lingers: what it holds goes out, then the end; the
//                                      closer resets it if its peer does not take it in time
//   otherwise (a failure, a stop or    lingers: what it holds goes out, then a reset, since
//   the other side's end while this    the sending side did not end
//   side still may send)
void CTcpRepeater::closePairStreams(CTcpSockPair& pair, const PairEnding& ending) {
    if (pair.lookupTicket != 0 && resolver_) {
        resolver_->cancel(pair.lookupTicket);
    }
    CTcpSockStream& client = *pair.acceptSocket;
    CTcpSockStream& destination = *pair.connectSocket;
    auto sourceEnded = [](const CTcpSockStream& partner) {
        Flow flow = partner.inbound();
        return flow == Flow::Draining || flow == Flow::Ended || flow == Flow::Shut;
    };
    for (auto [stream, partner] : {std::pair{&client, &destination}, {&destination, &client}}) {
        if (ending.abort || stream == ending.failed) {
            resetAndClose(*stream);
        } else {
            const bool endCleanly = partner != ending.failed && sourceEnded(*partner);
            closer_.close(*stream, stream->takeSendQueue(),
                          endCleanly ? LingeringCloser::End::Clean : LingeringCloser::End::Reset);
        }
    }
    pair.acceptSocket.reset();
    pair.connectSocket.reset();
}

void CTcpRepeater::closePair(int slot, PairEnding ending) {
    if (!validSlot(slot, pairs.size())) {
        return;
    }
    if (pairs[slot]) {
        std::unique_ptr<CTcpSockPair> pair = std::move(pairs[slot]);
        if (bothConnected(*pair)) {
            --connectedCount_;
        }
        logClose(*pair, ending);
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

ConnectionLog::Ends CTcpRepeater::endsOf(const CTcpSockPair& pair) const {
    const CTcpSockStream& destination = *pair.connectSocket;
    const ForwardConfig& settings = pair.generation->config;
    return {ConnectionLog::endText(pair.acceptSocket->getPeerAddress(),
                                   pair.acceptSocket->getPeerPort()),
            destination.getPeerAddress().empty()
                ? ConnectionLog::endText(settings.forwardHost,
                                         static_cast<unsigned int>(settings.forwardPort))
                : ConnectionLog::endText(destination.getPeerAddress(), destination.getPeerPort())};
}

void CTcpRepeater::logClose(const CTcpSockPair& pair, const PairEnding& ending) {
    ConnectionLog* log = pair.generation->log.get();
    if (log == nullptr) {
        return;
    }
    if (!bothConnected(pair) && ending.failed == pair.connectSocket.get() && ending.error != 0) {
        log->failed(endsOf(pair), ending.error);
        return;
    }
    log->closed(
        endsOf(pair),
        {pair.bytesUp(), pair.bytesDown(), std::chrono::steady_clock::now() - pair.acceptedAt},
        ending.reason);
}

void CTcpRepeater::scheduleConnectTimeout(int slot) {
    if (config_.relay.connectTimeoutSeconds <= 0) {
        return;
    }
    // The timer goes with the pair, so it never outlives it.
    pairs[slot]->connectTimer.start(std::chrono::seconds(config_.relay.connectTimeoutSeconds),
                                    [this, slot] {
                                        // Too slow counts as a failed connect, whichever
                                        // address was being tried.
                                        pairs[slot]->connectSocket->OnConnect(WSAETIMEDOUT);
                                    });
}

void CTcpRepeater::closeIdlePairs() {
    auto now = std::chrono::steady_clock::now();
    // A byte count that has not moved since the last look means silence in both directions.
    for (int slot = 0; validSlot(slot, pairs.size()); ++slot) {
        CTcpSockPair* pair = pairs[slot].get();
        if (pair == nullptr || !bothConnected(*pair) ||
            pair->generation->config.relay.idleTimeoutSeconds <= 0) {
            continue;
        }
        const auto limit = std::chrono::seconds(pair->generation->config.relay.idleTimeoutSeconds);
        std::uint64_t bytes = pair->bytesUp() + pair->bytesDown();
        if (bytes != pair->bytesSeen) {
            pair->bytesSeen = bytes;
            pair->quietSince = now;
        } else if (now - pair->quietSince >= limit) {
            closePair(slot, {nullptr, "idle-timeout"});
        }
    }
}

void CTcpRepeater::reportConnectionCount() {
    if (listener != nullptr) {
        listener->notifyConnectionCount(connectedCount_);
    }
}

bool CTcpRepeater::disconnect(std::uint64_t serial) {
    for (int slot = 0; validSlot(slot, pairs.size()); ++slot) {
        if (pairs[slot] && pairs[slot]->serial == serial) {
            closePair(slot, {nullptr, "disconnected", 0, true});
            return true;
        }
    }
    return false;
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

std::vector<ConnectionRow> CTcpRepeater::rows() const {
    // Ports and sizes are shown as signed decimals, as the streams' figures always were.
    auto peerOf = [](const CTcpSockStream& stream) {
        return ConnectionRow::End{stream.getPeerAddress(), static_cast<int>(stream.getPeerPort())};
    };
    auto bindOf = [](const CTcpSockStream& stream) {
        return ConnectionRow::End{stream.getBindIp(), static_cast<int>(stream.getBindPort())};
    };
    std::vector<ConnectionRow> rows;
    for (const auto& pair : pairs) {
        if (!pair) {
            continue;
        }
        const CTcpSockStream& accepted = *pair->acceptSocket;
        const CTcpSockStream& outgoing = *pair->connectSocket;
        rows.push_back({pair->serial, peerOf(accepted), bindOf(accepted),
                        static_cast<int>(accepted.getMaxRemainCount()), bindOf(outgoing),
                        peerOf(outgoing), static_cast<int>(outgoing.getMaxRemainCount()),
                        pair->bytesUp(), pair->bytesDown(), pair->acceptedAt});
    }
    return rows;
}
