#include "relay/udp_repeater.h"

#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "platform/socket_event_loop.h"
#include "platform/trace.h"
#include "platform/wsa_error.h"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kShortestSweep{5};
constexpr std::chrono::milliseconds kLongestSweep{500};
// Batches read per wake-up of one socket, so that one busy client cannot hold the thread.
constexpr int kBatchesPerWake = 8;
// Refused clients remembered at most; beyond that a refusal is logged at most once a second.
constexpr std::size_t kMostRefusedRemembered = 1024;

std::string textOf(const SocketAddress& address, unsigned int& port) {
    std::string text;
    port = 0;
    addressToText(address, text, port);
    return text;
}

// The address a client sent to, as the status list shows it (IPv4-mapped as IPv4).
std::string localText(const LocalAddress& local) {
    SocketAddress address;
    if (local.family == AF_INET6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address.storage);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = local.v6.ipi6_addr;
        address.length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address.storage);
        v4.sin_family = AF_INET;
        v4.sin_addr = local.v4.ipi_spec_dst;
        address.length = sizeof v4;
    }
    unsigned int port = 0;
    return textOf(address, port);
}

bool anyAddress(const std::string& ip) {
    return ip == "0.0.0.0" || ip == "::" || ip == "[::]";
}
}  // namespace

UdpRepeater::UdpRepeater(RepeaterTuning tuning)
    : maxSessions_(std::max<std::size_t>(1, tuning.maxSessions)),
      idleOverride_(tuning.idleTimeout),
      quarantineOverride_(tuning.quarantine) {}

UdpRepeater::~UdpRepeater() {
    // No reports here: the listener may already be on its way out.
    listener_ = nullptr;
    resolver_.reset();
    while (UdpSession* session = sessions_.oldest()) {
        closeSession(*session, "stopped");
    }
    listenSocket_.close();
}

void UdpRepeater::configure(const ForwardConfig& config) {
    config_ = config;
    // Who was refused depends on the filter.
    refused_.clear();
}

void UdpRepeater::setLookupFunction(LookupFunction lookup) {
    lookup_ = std::move(lookup);
    resolver_.reset();
}

std::chrono::milliseconds UdpRepeater::quarantineTime() const {
    if (quarantineOverride_.count() > 0) {
        return quarantineOverride_;
    }
    // A destination may answer late; an answer older than the idle time is not waited for,
    // nor one older than the longest quarantine, which keeps a long idle time from turning
    // new clients away for as long.
    return std::clamp<std::chrono::milliseconds>(idleLimit(), kShortestQuarantine,
                                                 kLongestQuarantine);
}

std::chrono::milliseconds UdpRepeater::idleLimit() const {
    if (idleOverride_.count() > 0) {
        return idleOverride_;
    }
    // A UDP session has no end of its own: silence is the only sign that it is over.
    return std::chrono::seconds(config_.relay.idleTimeoutSeconds > 0
                                    ? config_.relay.idleTimeoutSeconds
                                    : kDefaultIdleSeconds);
}

bool UdpRepeater::start() {
    draining_ = false;
    const std::string& listenHost = config_.listenHost;
    const bool bound = !listenHost.empty();
    if (!listenSocket_.bind(config_.listenPort, bound ? listenHost.c_str() : nullptr, this)) {
        TRACE("Error:UdpRepeater::start()-Bind() err=%d\n", listenSocket_.lastError());
        return false;
    }
    listenSocket_.setBufferSizes(std::clamp(config_.bufferSizeKb, 1, kMaxBufferKb) * 1024);
    if (!bound || anyAddress(listenHost)) {
        listenSocket_.receiveLocalAddresses();
    }
    if (!batch_) {
        batch_ = std::make_unique<DatagramBatch>();
    }
    const int port = static_cast<int>(listenPort());
    if (config_.name.empty()) {
        TRACE("UdpRepeater::start()-Bind() OK! Port=%d\n", port);
    } else {
        TRACE("UdpRepeater::start()-Bind() OK! Port=%d Name=%s\n", port, config_.name.c_str());
    }
    generation_ = makeGeneration(config_, port, "UDP");
    // Often enough that a session ends within a quarter of its idle time past it.
    sweepTimer_.startRepeating(std::clamp(idleLimit() / 4, kShortestSweep, kLongestSweep),
                               [this] { sweep(); });
    return true;
}

void UdpRepeater::stop() {
    if (SocketEventLoop* loop = SocketEventLoop::current()) {
        loop->assertInLoopThread();
    }
    while (UdpSession* session = sessions_.oldest()) {
        closeSession(*session, "stopped");
    }
    listenSocket_.close();
    sweepTimer_.cancel();
    refused_.clear();
    if (generation_ && generation_->log) {
        generation_->log->flush();
    }
}

void UdpRepeater::update(const ForwardConfig& config) {
    if (!listenSocket_.isOpen()) {
        configure(config);
        return;
    }
    const std::chrono::milliseconds idleBefore = idleLimit();
    configure(config);
    listenSocket_.setBufferSizes(std::clamp(config_.bufferSizeKb, 1, kMaxBufferKb) * 1024);
    generation_ = makeGeneration(config_, static_cast<int>(listenPort()), "UDP", generation_);
    if (idleLimit() != idleBefore) {
        sweepTimer_.startRepeating(std::clamp(idleLimit() / 4, kShortestSweep, kLongestSweep),
                                   [this] { sweep(); });
    }
}

unsigned int UdpRepeater::listenPort() const {
    SocketAddress local;
    unsigned int port = 0;
    if (listenSocket_.localName(local)) {
        textOf(local, port);
    }
    return port;
}

void UdpRepeater::onDatagramsReady(DatagramSocket& socket) {
    for (int round = 0; round < kBatchesPerWake && socket.isOpen(); ++round) {
        int count = batch_->receive(socket.handle(), true);
        if (count <= 0) {
            return;
        }
        relayFromClients(static_cast<unsigned>(count), Clock::now());
        if (static_cast<unsigned>(count) < DatagramBatch::kCount) {
            return;
        }
    }
}

void UdpRepeater::onDatagramError(DatagramSocket& /*socket*/, int wsaError) {
    TRACE("UdpRepeater::onDatagramError() err=%d\n", wsaError);
}

// A batch's datagrams go out per session, one call for each, in the order its client sent
// them. What is gathered goes out before a session is opened, since opening may evict a
// session whose datagrams wait in the batch.
void UdpRepeater::relayFromClients(unsigned count, Clock::time_point now) {
    Owners owners{};
    unsigned from = 0;
    for (unsigned slot = 0; slot < count; ++slot) {
        if (batch_->truncated(slot)) {
            TRACE("Error:UdpRepeater datagram cut off, dropped\n");
            continue;
        }
        const ClientKey key = ClientKey::of(batch_->source(slot));
        UdpSession* previous = slot > 0 ? owners[slot - 1] : nullptr;
        UdpSession* session =
            previous != nullptr && previous->key == key ? previous : sessions_.find(key);
        if (session == nullptr) {
            sendGathered(owners, from, slot);
            from = slot;
            if ((session = openSession(slot, now)) == nullptr) {
                continue;
            }
        }
        session->up += batch_->length(slot);
        sessions_.touch(*session, now);
        if (!session->socket.isOpen()) {
            hold(*session, batch_->data(slot), batch_->length(slot));
            continue;
        }
        owners[slot] = session;
    }
    sendGathered(owners, from, count);
}

void UdpRepeater::sendGathered(Owners& owners, unsigned from, unsigned to) {
    std::array<unsigned, DatagramBatch::kCount> slots{};
    for (unsigned first = from; first < to; ++first) {
        UdpSession* session = owners[first];
        if (session == nullptr) {
            continue;
        }
        unsigned n = 0;
        for (unsigned slot = first; slot < to; ++slot) {
            if (owners[slot] == session) {
                slots[n++] = slot;
                owners[slot] = nullptr;
            }
        }
        int error = 0;
        batch_->sendSlots(session->socket.handle(), slots.data(), n, error);
        // A full socket loses the rest, as the network may; one that failed alone was skipped.
        if (error != 0 && error != EAGAIN) {
            sessionError(*session, toWsaError(error));
        }
    }
}

void UdpRepeater::hold(UdpSession& session, const char* data, std::size_t length) {
    if (!session.pending) {
        return;
    }
    PendingDatagrams& pending = *session.pending;
    if (pending.datagrams.size() >= PendingDatagrams::kMostDatagrams ||
        pending.bytes + length > PendingDatagrams::kMostBytes) {
        return;  // dropped: the lookup is taking its time
    }
    pending.datagrams.emplace_back(data, length);
    pending.bytes += length;
}

bool UdpRepeater::admitted(const SocketAddress& client, const ClientKey& key,
                           Clock::time_point now) {
    if (config_.filter.mode == CIpFilter::kAdmitAll) {
        return true;  // spares the address text
    }
    auto known = refused_.find(key);
    if (known != refused_.end()) {
        known->second = now;
        return false;
    }
    unsigned int port = 0;
    const std::string address = textOf(client, port);
    if (config_.filter.checkAddress(address) != 0) {
        return true;
    }
    // Logged once per attempt: until the client has been silent for the idle time.
    const bool remembered = refused_.size() < kMostRefusedRemembered;
    if (remembered) {
        refused_.emplace(key, now);
    }
    if (remembered || now - refusedSaidAt_ >= 1s) {
        refusedSaidAt_ = now;
        TRACE("★★接続を拒否★★ PeerAddress=%s, port=%d\n", address.c_str(), port);
        if (generation_->log) {
            generation_->log->refused(ConnectionLog::endText(address, port));
        }
    }
    return false;
}

// Every session's port stays taken until its quarantine is over, so the descriptors are
// bounded by refusing new clients, never by freeing a port early.
bool UdpRepeater::roomForNewSession(Clock::time_point now) {
    if (sessions_.size() + quarantine_.size() < 2 * maxSessions_) {
        return true;
    }
    if (now - fullSaidAt_ >= 1s) {
        fullSaidAt_ = now;
        TRACE("Error:UdpRepeater new client dropped: %zu ended sessions still hold their ports\n",
              quarantine_.size());
    }
    return false;
}

UdpSession* UdpRepeater::openSession(unsigned slot, Clock::time_point now) {
    const SocketAddress& client = batch_->source(slot);
    const ClientKey key = ClientKey::of(client);
    if (draining_ || !admitted(client, key, now)) {
        return nullptr;
    }
    if (!roomForNewSession(now)) {
        return nullptr;
    }
    if (sessions_.size() >= maxSessions_ && sessions_.oldest() != nullptr) {
        closeSession(*sessions_.oldest(), "evicted");
    }
    UdpSessionOwner& owner = *this;
    UdpSession& session = sessions_.add(std::make_unique<UdpSession>(owner, client, key));
    session.local = batch_->localAddress(slot);
    session.serial = nextSerial_++;
    session.openedAt = now;
    session.generation = generation_;
    unsigned int port = 0;
    const std::string address = textOf(client, port);
    TRACE("UDPセッションを開始しました。PeerAddress=%s, port=%d\n", address.c_str(), port);
    if (generation_->log) {
        generation_->log->opened(endsOf(session));
    }
    if (const std::optional<SocketAddress>& numeric = generation_->numericDestination) {
        connectSession(session, {*numeric}, 0);
    } else {
        lookUpDestination(session);
    }
    UdpSession* opened = sessions_.find(key);
    reportCount();
    return opened;
}

void UdpRepeater::lookUpDestination(UdpSession& session) {
    session.pending = std::make_unique<PendingDatagrams>();
    SocketEventLoop* loop = SocketEventLoop::current();
    if (!resolver_ && loop != nullptr) {
        resolver_ = std::make_unique<HostResolver>(loop->inbox(), lookup_);
    }
    if (!resolver_) {
        connectSession(session, {}, WSANOTINITIALISED);
        return;
    }
    const ClientKey key = session.key;
    const ForwardConfig& settings = session.generation->config;
    std::uint64_t ticket = resolver_->lookup(
        settings.forwardHost, settings.forwardPort,
        [this, key](std::uint64_t ticket, int error, std::vector<SocketAddress> addresses) {
            UdpSession* waiting = sessions_.find(key);
            if (waiting != nullptr && waiting->lookupTicket == ticket) {
                waiting->lookupTicket = 0;
                --waitingLookups_;
                connectSession(*waiting, addresses, error);
            }
        });
    if (ticket == 0) {
        // Too many lookups wait already: the session fails as a name that does not resolve.
        connectSession(session, {}, WSAEINVAL);
        return;
    }
    session.lookupTicket = ticket;
    ++waitingLookups_;
}

void UdpRepeater::connectSession(UdpSession& session, const std::vector<SocketAddress>& addresses,
                                 int lookupError) {
    const ForwardConfig& settings = session.generation->config;
    // The first address a socket can be connected to; UDP sends nothing to find out more.
    int error = lookupError;
    if (error == 0) {
        error = WSAEINVAL;
        for (const SocketAddress& address : addresses) {
            if (session.socket.connect(address, &session)) {
                error = 0;
                break;
            }
            error = session.socket.lastError();
        }
    }
    if (error != 0) {
        TRACE("Error:UdpRepeater::connectSession() host=%s, port=%d err=%d\n",
              settings.forwardHost.c_str(), settings.forwardPort, error);
        closeSession(session, "failed", error);
        return;
    }
    session.socket.setBufferSizes(std::clamp(settings.bufferSizeKb, 1, kMaxBufferKb) * 1024);
    if (!session.pending) {
        return;
    }
    std::unique_ptr<PendingDatagrams> pending = std::move(session.pending);
    for (const std::string& datagram : pending->datagrams) {
        session.socket.sendNow(datagram.data(), datagram.size());
    }
}

void UdpRepeater::answersReady(UdpSession& session) {
    const int fd = session.socket.handle();
    for (int round = 0; round < kBatchesPerWake; ++round) {
        int count = batch_->receive(fd, false);
        if (count < 0 && errno == ECONNREFUSED) {
            sessionError(session, WSAECONNREFUSED);
            continue;
        }
        if (count <= 0) {
            return;
        }
        const unsigned n = static_cast<unsigned>(count);
        for (unsigned slot = 0; slot < n; ++slot) {
            session.down += batch_->length(slot);
        }
        sessions_.touch(session, Clock::now());
        int error = 0;
        batch_->sendTo(listenSocket_.handle(), 0, n, session.client, session.local, error);
        if (error != 0 && error != EAGAIN) {
            TRACE("UdpRepeater::answersReady() err=%d\n", toWsaError(error));
        }
        if (n < DatagramBatch::kCount) {
            return;
        }
    }
}

void UdpRepeater::sessionError(UdpSession& session, int wsaError) {
    if (!traceEnabled()) {
        return;  // spares the address text
    }
    unsigned int port = 0;
    const std::string address = textOf(session.client, port);
    TRACE("UdpRepeater::sessionError() PeerAddress=%s, port=%d, err=%d\n", address.c_str(), port,
          wsaError);
}

void UdpRepeater::closeSession(UdpSession& session, const char* reason, int error) {
    if (session.lookupTicket != 0) {
        if (resolver_) {
            resolver_->cancel(session.lookupTicket);
        }
        session.lookupTicket = 0;
        --waitingLookups_;
    }
    unsigned int port = 0;
    const std::string address = textOf(session.client, port);
    TRACE("UDPセッションを終了しました。PeerAddress=%s, port=%d, reason=%s\n", address.c_str(),
          port, reason);
    ConnectionLog* log = session.generation->log.get();
    if (log != nullptr && error != 0) {
        log->failed(endsOf(session), error);
    } else if (log != nullptr) {
        log->closed(endsOf(session), {session.up, session.down, Clock::now() - session.openedAt},
                    reason);
    }
    quarantine_.hold(sessions_.remove(session), quarantineTime());
    reportCount();
}

void UdpRepeater::sweep() {
    const Clock::time_point now = Clock::now();
    const auto idle = idleLimit();
    while (UdpSession* oldest = sessions_.oldest()) {
        if (now - oldest->lastActive < idle) {
            break;
        }
        closeSession(*oldest, "idle-timeout");
    }
    if (waitingLookups_ > 0 && config_.relay.connectTimeoutSeconds > 0) {
        const auto limit = std::chrono::seconds(config_.relay.connectTimeoutSeconds);
        std::vector<UdpSession*> late;
        for (UdpSession* s = sessions_.oldest(); s != nullptr; s = s->newer) {
            if (s->lookupTicket != 0 && now - s->openedAt >= limit) {
                late.push_back(s);
            }
        }
        for (UdpSession* s : late) {
            TRACE("Error:UdpRepeater::connectSession() host=%s, port=%d err=%d\n",
                  s->generation->config.forwardHost.c_str(), s->generation->config.forwardPort,
                  WSAETIMEDOUT);
            closeSession(*s, "failed", WSAETIMEDOUT);
        }
    }
    forgetRefused(now);
}

void UdpRepeater::forgetRefused(Clock::time_point now) {
    const auto idle = idleLimit();
    std::erase_if(refused_, [&](const auto& entry) { return now - entry.second >= idle; });
}

void UdpRepeater::reportCount() {
    if (listener_ != nullptr) {
        listener_->notifyConnectionCount(connectionCount());
    }
}

std::string UdpRepeater::destinationText(const UdpSession& session) {
    const ForwardGeneration& generation = *session.generation;
    if (generation.numericDestination) {
        unsigned int port = 0;
        std::string text = textOf(*generation.numericDestination, port);
        return ConnectionLog::endText(text, port);
    }
    return ConnectionLog::endText(generation.config.forwardHost,
                                  static_cast<unsigned int>(generation.config.forwardPort));
}

ConnectionLog::Ends UdpRepeater::endsOf(const UdpSession& session) const {
    unsigned int port = 0;
    std::string client = textOf(session.client, port);
    return {ConnectionLog::endText(client, port), destinationText(session)};
}

bool UdpRepeater::disconnect(std::uint64_t serial) {
    for (UdpSession* s = sessions_.oldest(); s != nullptr; s = s->newer) {
        if (s->serial == serial) {
            closeSession(*s, "disconnected");
            return true;
        }
    }
    return false;
}

std::vector<ConnectionRow> UdpRepeater::rows() const {
    auto endOf = [](const SocketAddress& address) {
        unsigned int port = 0;
        std::string text = textOf(address, port);
        return ConnectionRow::End{std::move(text), static_cast<int>(port)};
    };
    std::vector<ConnectionRow> rows;
    rows.reserve(sessions_.size());
    SocketAddress listenAt;
    ConnectionRow shared;
    if (listenSocket_.localName(listenAt)) {
        shared.acceptBind = endOf(listenAt);
    }
    for (const UdpSession* s = sessions_.oldest(); s != nullptr; s = s->newer) {
        ConnectionRow row = shared;
        row.serial = s->serial;
        row.acceptPeer = endOf(s->client);
        if (s->local.family != 0) {
            row.acceptBind.address = localText(s->local);
        }
        SocketAddress ends;
        if (s->socket.localName(ends)) {
            row.connectBind = endOf(ends);
            if (s->socket.peerName(ends)) {
                row.connectPeer = endOf(ends);
            }
        }
        row.bytesUp = s->up;
        row.bytesDown = s->down;
        row.acceptedAt = s->openedAt;
        rows.push_back(std::move(row));
    }
    std::sort(rows.begin(), rows.end(),
              [](const ConnectionRow& a, const ConnectionRow& b) { return a.serial < b.serial; });
    return rows;
}
