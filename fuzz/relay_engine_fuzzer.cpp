// Drives one relay engine per input through a script of socket operations on loopback and
// checks what arrives at each end. Everything runs on one thread: the relay's event loop is
// dispatched between the script's own socket calls.
//
// Input: byte 0 chooses the relay's buffer size (1..8 KiB, bits 0-2), whether the
// destination refuses connections (bit 3), whether it offers small windows (bit 4) and
// whether the relay knows it by a name, which a fake lookup resolves (bit 5), whether one
// side's end is passed on while the other direction goes on (bit 6) and whether the pair's
// sockets keep alive (bit 7). Then up to 64
// operations, each a code byte (taken modulo 13) and up to three argument bytes;
// missing bytes read as 0. A target byte names one end: bit 0 the side (0 client,
// 1 destination), the bits above it the connection.
//   0 connect a client; flags: bits 0-1 the relay's kernel send buffers, bit 2 a small client
//     window, bits 3/4 the destination/client does not read by itself, bits 6-7 read size
//   1 target, n (2 bytes): send up to n bytes      2 target: shut down for writing
//   3 target: close                                4 target: reset (linger 0, then close)
//   5 target, n (2 bytes): read up to n bytes
//   6 target: read by itself from now on when bit 7 is set, else stall
//   7 ms: run the loop for 0..5 ms
//   8 0xA5: stop the relay; 0x5A: destroy it with its pairs open; else run the loop once
//   9 count, flags: connect 2..4 clients at once
//   10 target, n: send n (1..256) bytes, then one urgent byte
//   11 target, rounds, n: the other end of the connection ends its stream, then target keeps
//      sending: 1..8 rounds of up to 64*n+1 bytes, the loop run once after each
//   12 flags (names only): a client connects and leaves while its lookup is held; bit 0 it
//      resets, bit 1 it sends first, bit 2 the lookup then fails, bits 3-5 the loop runs
//      0..7 ms before the lookup returns
//
// Checked for every input, besides what the sanitizers catch:
// - what an end reads is a prefix of what the other end wrote (each direction of each
//   connection carries its own hashed byte pattern);
// - the relay closes a pair only after one of our ends ended or reset; a pair it closes
//   after seeing a peer's end of stream has already handed that peer's bytes on;
// - an end that ended its stream cleanly, after the relay had seen the other end's end too,
//   is reset only when it was still owed bytes at a stop (or something else on the
//   connection was reset);
// - when the relay closed a pair after the end of stream from X, nothing on the connection
//   was reset and the receiving end Y did not leave early, Y reads every byte X wrote and
//   then a clean end. A reset anywhere (ours, a close over unread data, an error the relay
//   reports, or a reset we read) leaves only the prefix guarantee;
// - when the relay closed a pair after the end of stream from X, nothing of ours was reset,
//   the relay reported no error, stop cut no lingering close short and X read on, X reads
//   everything the relay then held for it (a peer that ended its sending may still read),
//   then an end: a clean one or, where the other side had not ended, a reset;
// - a clean end is delivered only when the source ended cleanly (shut down or closed with a
//   FIN, before any reset of ours) and every byte it sent was delivered: whatever was cut
//   off ends in a reset;
// - a client that leaves during the lookup takes its pair out of the table, whenever the
//   lookup returns;
// - the connection count reported never exceeds the pairs, and ends at 0 with no pair left;
// - no socket lingers after stop, and no descriptor is left open after the input.

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket_address.h"
#include "platform/socket_event_loop.h"
#include "platform/trace.h"
#include "platform/wsa_error.h"
#include "relay/tcp_repeater.h"
#include "tests/support/loopback.h"
#include "tests/support/process_figures.h"
#include "tests/support/quiet_trace.h"
#include "tests/support/test_forward.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kMaxOps = 64;
constexpr std::size_t kMaxConnections = 6;
// A small receive window keeps the relay's sends towards an end small (the kernel bounds a
// send to half the peer's largest window), so that they stop part way through its queue.
constexpr int kSmallReceiveBuffer = 8192;
// Kernel send buffers for the relay's own sockets, chosen per connection; 1 gives the
// kernel's minimum, 0 leaves the default.
constexpr std::array<int, 4> kRelaySendBuffers{1, 4096, 16384, 0};
// How much an end reads at a time when it reads by itself.
constexpr std::array<std::size_t, 4> kReadChunks{std::size_t{64} * 1024, 4096, 512, 97};
constexpr std::size_t kChunk = std::size_t{64} * 1024;
constexpr int kMaxReadsPerPump = 64;
constexpr std::size_t kPumpBytes = std::size_t{1024} * 1024;
constexpr int kMaxSliceMs = 5;
constexpr int kMaxRounds = 100000;
// Generous: on loopback these take well under a millisecond unless something is stuck.
constexpr milliseconds kConnectTimeout{3000};
constexpr milliseconds kTeardownTimeout{8000};
constexpr milliseconds kLookupHoldLimit{10000};
constexpr const char* kDestinationName = "destination.relay-fuzz.test";

enum PeerEnd { kClient = 0, kDestination = 1 };

[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("relay_engine_fuzzer: ", stderr);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

// Hashed rather than counting, so that a lost, repeated or misplaced stretch shows at once.
unsigned char patternByte(std::uint32_t seed, std::uint64_t offset) {
    std::uint32_t x = static_cast<std::uint32_t>(offset) * 0x9E3779B1u + seed;
    x ^= x >> 15;
    x *= 0x85EBCA77u;
    x ^= x >> 13;
    return static_cast<unsigned char>(x >> 24);
}

// An urgent byte differs from the byte after it, so a reader can tell whether it was left
// out (the relay never reads urgent data) or stayed in the stream (an older mark the kernel
// let go inline). Urgent bytes are never sent back to back.
unsigned char urgentByte(std::uint32_t seed, std::uint64_t offset) {
    return static_cast<unsigned char>(patternByte(seed, offset + 1) ^ 0xFF);
}

struct Stats {
    unsigned long inputs = 0;
    unsigned long connections = 0;
    unsigned long fullChecks = 0;
    unsigned long prefixOnly = 0;
    unsigned long resets = 0;
    unsigned long long bytes = 0;
    bool print = std::getenv("RELAY_FUZZ_STATS") != nullptr;
};
Stats g_stats;

class Script {
  public:
    Script(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::size_t next16() {
        std::size_t low = next();
        return low | static_cast<std::size_t>(next()) << 8;
    }
    bool done() const { return pos_ >= size_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct Endpoint {
    int fd = -1;
    // Shut down for writing, closed or reset by the script.
    bool writeShut = false;
    // Its stream ended with a FIN (a shutdown, or a close over nothing unread) before any
    // reset of ours.
    bool endedCleanly = false;
    bool closedByUs = false;
    bool sawEnd = false;
    bool sawError = false;
    // A send of this end took a reset: its later reads return 0 without any end being sent.
    bool sendTookReset = false;
    bool autoRead = true;
    std::size_t readChunk = kChunk;
    std::uint64_t sent = 0;
    // How far into the other end's stream this end has read, urgent bytes left out included.
    std::uint64_t received = 0;
    // Where this end's urgent bytes lie in its stream, in order.
    std::vector<std::uint64_t> urgent;

    bool urgentAt(std::uint64_t offset) const {
        return std::binary_search(urgent.begin(), urgent.end(), offset);
    }
    bool readable() const { return fd >= 0 && !sawEnd && !sawError; }
};

struct Connection {
    std::array<Endpoint, 2> ends;
    // The pattern seed of what each side writes.
    std::array<std::uint32_t, 2> seeds{};
    unsigned clientPort = 0;
    // The relay's stream towards the client, once the pair is known; compared, never used.
    const CTcpSockStream* relayStream = nullptr;
    bool hasDestination = false;
    // Something on the connection was reset: by us, by the relay reporting an error, or as
    // seen by one of our ends.
    bool reset = false;
    bool ourReset = false;
    bool relayError = false;
    bool relayClosed = false;
    // The relay closed the pair after the end of stream from this side.
    std::array<bool, 2> endSeenByRelay{};
    // How far into the other side's stream each end must read: where it was when the relay
    // closed the pair, plus what the relay then still held for it.
    std::array<std::uint64_t, 2> owedAtClose{};
    // The relay was stopped or destroyed while its sockets might still linger.
    bool lingerCut = false;
    // What the relay had read from each side when the pair left its table, once known.
    bool takenKnown = false;
    std::array<std::uint64_t, 2> taken{};
};

// The fake name lookup the relay's resolver threads run. The script holds it to let a client
// leave meanwhile; a held lookup gives up waiting after kLookupHoldLimit.
// Ownership: shared by the harness and the lookup function the relay keeps. Thread: lookup()
// on resolver threads, the rest on the script's thread.
class LookupGate {
  public:
    int lookup(const std::string& host, int port, std::vector<SocketAddress>& addresses) {
        std::unique_lock<std::mutex> lock(mutex_);
        ++entered_;
        changed_.notify_all();
        bool held = held_;
        // Released, even if the next hold came before this thread woke up.
        std::uint64_t generation = holds_;
        changed_.wait_for(lock, kLookupHoldLimit, [&] { return !held_ || holds_ != generation; });
        SocketAddress address;
        if ((held && failing_) || host != kDestinationName ||
            !parseNumericAddress("127.0.0.1", port, address)) {
            return WSAEINVAL;
        }
        addresses.push_back(address);
        return 0;
    }

    void hold() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = true;
        ++holds_;
        failing_ = false;
        entered_ = 0;
    }

    // Lets the held lookups return, failed when fail is set; later ones are not held.
    void release(bool fail) {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = false;
        failing_ = fail;
        changed_.notify_all();
    }

    // True once a lookup has started since hold().
    bool entered() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entered_ > 0;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    std::uint64_t holds_ = 0;
    bool failing_ = false;
    int entered_ = 0;
};

class Harness;

// The real engine; the notifications it gives itself are watched on their way through.
class ObservedRepeater : public CTcpRepeater {
  public:
    explicit ObservedRepeater(Harness& harness) : CTcpRepeater(shortGrace()), harness_(harness) {}
    void notifyOnClose(int index, Side side) override;
    void notifyOnError(int index, Side side, int err) override;

  private:
    // Our ends are read on this thread only after stop returns: a short grace still runs it.
    static RepeaterTuning shortGrace() {
        RepeaterTuning tuning;
        tuning.stopGrace = milliseconds(5);
        return tuning;
    }

    Harness& harness_;
};

class CountWatch : public RepeaterListener {
  public:
    explicit CountWatch(CTcpRepeater& repeater) : repeater_(repeater) {}
    void notifyConnectionCount(int count) override;
    int last = 0;

  private:
    CTcpRepeater& repeater_;
};

int countPairs(CTcpRepeater& repeater) {
    int cursor = 0;
    int pairs = 0;
    while (repeater.getNextPair(cursor) != nullptr) {
        ++pairs;
    }
    return pairs;
}

void CountWatch::notifyConnectionCount(int count) {
    int pairs = countPairs(repeater_);
    if (count < 0 || count > pairs) {
        fail("reported %d connections with %d pairs in the table", count, pairs);
    }
    last = count;
}

class Harness {
  public:
    Harness() : repeater_(std::make_unique<ObservedRepeater>(*this)), counts_(*repeater_) {}
    ~Harness();
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    void run(Script& script);
    void relayClosing(int index, Side side, bool error, int err);

  private:
    void openDestination();
    void step(Script& script);
    Connection* target(std::uint8_t selector, int& side);
    Connection* openClient(std::uint8_t flags);
    void connectClients(int count, std::uint8_t flags);
    void takeDestinations(std::uint8_t flags);
    void sendFrom(Connection& connection, int side, std::size_t length);
    void sendUrgent(Connection& connection, int side, std::size_t before);
    void readFrom(Connection& connection, int side, std::size_t limit);
    void shutDown(Connection& connection, int side);
    void closeEnd(Connection& connection, int side, bool reset);
    void keepSending(Connection& connection, int side, int rounds, std::size_t length);
    void leaveDuringLookup(std::uint8_t flags);
    void awaitLookup(Clock::time_point deadline);
    bool ownsPair(const Connection& connection);
    void stopRelay(bool destroy);
    int pairsLeft() { return repeater_ ? countPairs(*repeater_) : 0; }
    void pumpReads();
    void waitForActivity(Clock::time_point deadline, std::vector<pollfd> fds = {});
    void runSlice(int ms);
    void teardown();
    bool settled();
    void checkDelivery(const Connection& connection);
    void checkOwed(const Connection& connection);
    void checkCleanEnds(const Connection& connection);
    void noteTaken(Connection& connection, const CTcpSockPair& pair);
    CTcpSockPair* findPair(int index);
    Connection* connectionOf(const CTcpSockPair& pair);
    [[noreturn]] void failWithState(const char* what);

    SocketEventLoop loop_;
    // Destroyed early when the script abandons the relay with its pairs still open.
    std::unique_ptr<ObservedRepeater> repeater_;
    CountWatch counts_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::shared_ptr<LookupGate> gate_ = std::make_shared<LookupGate>();
    // The client leaving during its lookup; the relay may reach the destination for it after
    // its pair has gone.
    Connection* leaving_ = nullptr;
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(kChunk);
    int destinationFd_ = -1;
    int destinationPort_ = 0;
    unsigned relayPort_ = 0;
    bool refusing_ = false;
    bool smallDestinationWindow_ = false;
    bool byName_ = false;
    bool halfClose_ = false;
    bool stopped_ = false;
};

void ObservedRepeater::notifyOnClose(int index, Side side) {
    harness_.relayClosing(index, side, false, 0);
    CTcpRepeater::notifyOnClose(index, side);
}

void ObservedRepeater::notifyOnError(int index, Side side, int err) {
    harness_.relayClosing(index, side, true, err);
    CTcpRepeater::notifyOnError(index, side, err);
}

Harness::~Harness() {
    for (auto& connection : connections_) {
        for (Endpoint& end : connection->ends) {
            if (end.fd >= 0) {
                close(end.fd);
            }
        }
    }
    if (destinationFd_ >= 0) {
        close(destinationFd_);
    }
}

CTcpSockPair* Harness::findPair(int index) {
    int cursor = 0;
    while (CTcpSockPair* pair = repeater_->getNextPair(cursor)) {
        if (static_cast<int>(pair->acceptSocket->index()) == index) {
            return pair;
        }
    }
    return nullptr;
}

Connection* Harness::connectionOf(const CTcpSockPair& pair) {
    // By the stream once known: a client's port may come round again while the pair of an
    // earlier client that had it, reset and gone, is still in the table.
    for (auto& connection : connections_) {
        if (!connection->relayClosed && connection->relayStream == pair.acceptSocket.get()) {
            return connection.get();
        }
    }
    unsigned port = pair.acceptSocket->getPeerPort();
    for (auto& connection : connections_) {
        if (!connection->relayClosed && connection->relayStream == nullptr &&
            connection->clientPort == port) {
            return connection.get();
        }
    }
    return nullptr;
}

void Harness::failWithState(const char* what) {
    std::fprintf(stderr, "relay_engine_fuzzer: %s\n  pairs=%d count=%d refusing=%d stopped=%d\n",
                 what, pairsLeft(), repeater_ ? repeater_->connectionCount() : 0, refusing_ ? 1 : 0,
                 stopped_ ? 1 : 0);
    for (std::size_t i = 0; i < connections_.size(); ++i) {
        const Connection& c = *connections_[i];
        std::fprintf(
            stderr, "  connection %zu: dest=%d reset=%d/%d/%d relayClosed=%d endSeen=%d/%d\n", i,
            c.hasDestination ? 1 : 0, c.reset ? 1 : 0, c.ourReset ? 1 : 0, c.relayError ? 1 : 0,
            c.relayClosed ? 1 : 0, c.endSeenByRelay[0] ? 1 : 0, c.endSeenByRelay[1] ? 1 : 0);
        for (int side = 0; side < 2; ++side) {
            const Endpoint& e = c.ends[side];
            std::fprintf(stderr,
                         "    %s: fd=%d shut=%d closed=%d end=%d error=%d read=%d sent=%llu "
                         "received=%llu\n",
                         side == kClient ? "client" : "destination", e.fd, e.writeShut ? 1 : 0,
                         e.closedByUs ? 1 : 0, e.sawEnd ? 1 : 0, e.sawError ? 1 : 0,
                         e.autoRead ? 1 : 0, static_cast<unsigned long long>(e.sent),
                         static_cast<unsigned long long>(e.received));
        }
    }
    std::abort();
}

void Harness::relayClosing(int index, Side side, bool error, int err) {
    const std::string kind = sideName(side);
    CTcpSockPair* pair = findPair(index);
    if (pair == nullptr) {
        fail("%s from %s at index %d, which holds no pair", error ? "error" : "close", kind.c_str(),
             index);
    }
    Connection* connection = connectionOf(*pair);
    if (connection == nullptr) {
        fail("pair %d belongs to no client of this run", index);
    }
    connection->relayClosed = true;
    noteTaken(*connection, *pair);
    bool anyEnded = connection->ends[kClient].writeShut || connection->ends[kDestination].writeShut;
    if (error) {
        connection->reset = true;
        connection->relayError = true;
        if (connection->hasDestination && !anyEnded) {
            failWithState(("relay reports error " + std::to_string(err) + " on " + kind +
                           " though neither end closed")
                              .c_str());
        }
        return;
    }
    bool fromClient = side == Side::Accepted || pair->acceptSocket->closePending();
    bool fromDestination = side == Side::Connected || pair->connectSocket->closePending();
    if ((fromClient && !connection->ends[kClient].writeShut) ||
        (fromDestination && !connection->ends[kDestination].writeShut)) {
        failWithState(("relay saw an end of stream nobody sent, closing from " + kind).c_str());
    }
    if (fromClient && pair->connectSocket->queuedBytes() != 0) {
        fail(
            "pair %d closes after the client's end with %u bytes still queued for the "
            "destination",
            index, pair->connectSocket->queuedBytes());
    }
    if (fromDestination && pair->acceptSocket->queuedBytes() != 0) {
        fail(
            "pair %d closes after the destination's end with %u bytes still queued for the "
            "client",
            index, pair->acceptSocket->queuedBytes());
    }
    connection->endSeenByRelay = {fromClient, fromDestination};
    connection->owedAtClose = {
        connection->ends[kClient].received + pair->acceptSocket->queuedBytes(),
        connection->ends[kDestination].received + pair->connectSocket->queuedBytes()};
}

void Harness::openDestination() {
    // Bound but not listening, a refusing destination keeps its port from anyone else.
    destinationFd_ = loopback::bindAny(destinationPort_);
    if (destinationFd_ < 0 || !loopback::setNonBlocking(destinationFd_)) {
        fail("bind: %d", errno);
    }
    if (smallDestinationWindow_) {
        // Inherited by the accepted sockets, in time for their first window.
        loopback::setBufferSizes(destinationFd_, kSmallReceiveBuffer, 0);
    }
    if (!refusing_ && listen(destinationFd_, SOMAXCONN) != 0) {
        fail("listen: %d", errno);
    }
}

void Harness::run(Script& script) {
    std::uint8_t head = script.next();
    refusing_ = (head & 8) != 0;
    smallDestinationWindow_ = (head & 0x10) != 0;
    byName_ = (head & 0x20) != 0;
    openDestination();
    repeater_->setListener(&counts_);
    halfClose_ = (head & 0x40) != 0;
    ForwardConfig config =
        testForward(0, byName_ ? kDestinationName : "127.0.0.1", destinationPort_);
    config.bufferSizeKb = 1 + (head & 7);
    config.relay = {halfClose_, 0, 0, (head & 0x80) != 0};
    repeater_->configure(config);
    repeater_->setLookupFunction(
        [gate = gate_](const std::string& host, int port, std::vector<SocketAddress>& out) {
            return gate->lookup(host, port, out);
        });
    if (!repeater_->start()) {
        fail("the relay does not listen");
    }
    relayPort_ = repeater_->listenPort();
    for (int op = 0; op < kMaxOps && !script.done(); ++op) {
        step(script);
    }
    teardown();
}

Connection* Harness::target(std::uint8_t selector, int& side) {
    if (connections_.empty()) {
        return nullptr;
    }
    side = selector & 1;
    Connection* connection = connections_[(selector >> 1) % connections_.size()].get();
    if (side == kDestination && !connection->hasDestination) {
        return nullptr;
    }
    return connection;
}

void Harness::step(Script& script) {
    std::uint8_t code = script.next() % 13;
    int side = 0;
    switch (code) {
        case 0:
            connectClients(1, script.next());
            break;
        case 9: {
            int count = 2 + script.next() % 3;
            connectClients(count, script.next());
            break;
        }
        case 10: {
            Connection* c = target(script.next(), side);
            std::size_t before = script.next() + 1;
            if (c != nullptr) {
                sendUrgent(*c, side, before);
            }
            break;
        }
        case 1: {
            Connection* c = target(script.next(), side);
            std::size_t length = script.next16() + 1;
            if (c != nullptr) {
                sendFrom(*c, side, length);
            }
            break;
        }
        case 2:
            if (Connection* c = target(script.next(), side)) {
                shutDown(*c, side);
            }
            break;
        case 3:
        case 4:
            if (Connection* c = target(script.next(), side)) {
                closeEnd(*c, side, code == 4);
            }
            break;
        case 5: {
            Connection* c = target(script.next(), side);
            std::size_t limit = script.next16() + 1;
            if (c != nullptr) {
                readFrom(*c, side, limit);
            }
            break;
        }
        case 6: {
            std::uint8_t selector = script.next();
            if (Connection* c = target(selector, side)) {
                c->ends[side].autoRead = (selector & 0x80) != 0;
            }
            break;
        }
        case 7:
            runSlice(script.next() % (kMaxSliceMs + 1));
            break;
        case 11: {
            Connection* c = target(script.next(), side);
            int rounds = 1 + script.next() % 8;
            std::size_t length = std::size_t{64} * script.next() + 1;
            if (c != nullptr) {
                keepSending(*c, side, rounds, length);
            }
            break;
        }
        case 12:
            leaveDuringLookup(script.next());
            break;
        default:
            // Rare on purpose: after a stop nothing new connects.
            switch (script.next()) {
                case 0xA5:
                    stopRelay(false);
                    break;
                case 0x5A:
                    stopRelay(true);
                    break;
                default:
                    runSlice(0);
                    break;
            }
            break;
    }
}

Connection* Harness::openClient(std::uint8_t flags) {
    int fd = loopback::connectStart(relayPort_, (flags & 4) != 0 ? kSmallReceiveBuffer : 0);
    if (fd < 0) {
        fail("connect to the relay: %d", errno);
    }
    auto connection = std::make_unique<Connection>();
    connection->ends[kClient].fd = fd;
    connection->clientPort = loopback::localPort(fd);
    auto number = static_cast<std::uint32_t>(connections_.size());
    connection->seeds = {0x1000193u * (2 * number + 1), 0x7FEB352Du * (2 * number + 2)};
    connection->ends[kClient].autoRead = (flags & 0x10) == 0;
    connection->ends[kDestination].autoRead = (flags & 0x08) == 0;
    for (Endpoint& end : connection->ends) {
        end.readChunk = kReadChunks[flags >> 6];
    }
    connections_.push_back(std::move(connection));
    ++g_stats.connections;
    return connections_.back().get();
}

void Harness::connectClients(int count, std::uint8_t flags) {
    // Several at once reach the relay's listener together, in one wake-up.
    std::vector<Connection*> fresh;
    for (int i = 0; i < count && !stopped_ && connections_.size() < kMaxConnections; ++i) {
        fresh.push_back(openClient(flags));
    }
    if (fresh.empty()) {
        return;
    }
    // The relay takes the clients and, unless refused, connects to the destination.
    const Clock::time_point deadline = Clock::now() + kConnectTimeout;
    for (int round = 0; round < kMaxRounds; ++round) {
        loop_.dispatchReady();
        pumpReads();
        if (!refusing_) {
            takeDestinations(flags);
        }
        std::vector<pollfd> waiting;
        for (Connection* c : fresh) {
            if (c->hasDestination) {
                continue;
            }
            pollfd client{c->ends[kClient].fd, POLLRDHUP, 0};
            bool hungUp =
                poll(&client, 1, 0) == 1 && (client.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
            if (!refusing_ && (c->relayClosed || hungUp)) {
                failWithState("the relay dropped a client it should have connected");
            }
            if (hungUp) {
                // Refused; possibly before any notification, where the pair was made.
                c->relayClosed = true;
                c->reset = true;
                c->ourReset = true;
            } else {
                waiting.push_back({c->ends[kClient].fd, POLLRDHUP, 0});
            }
        }
        if (waiting.empty()) {
            return;
        }
        if (Clock::now() >= deadline) {
            failWithState("new clients were not relayed in time");
        }
        if (!refusing_) {
            waiting = {{destinationFd_, POLLIN, 0}};
        }
        waitForActivity(deadline, waiting);
    }
    failWithState("new clients were not relayed within the round limit");
}

void Harness::takeDestinations(std::uint8_t flags) {
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        int fd = accept4(destinationFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        // Which client: the pair whose outgoing socket is this connection's other end.
        unsigned outgoingPort = loopback::remotePort(fd);
        int cursor = 0;
        CTcpSockPair* pair = nullptr;
        while (CTcpSockPair* candidate = repeater_->getNextPair(cursor)) {
            std::string ignored;
            unsigned port = 0;
            if (candidate->connectSocket->GetSockName(ignored, port) && port == outgoingPort) {
                pair = candidate;
            }
        }
        Connection* connection = pair != nullptr ? connectionOf(*pair) : nullptr;
        if (connection == nullptr && leaving_ != nullptr) {
            // The relay reached the destination and already let the pair go.
            connection = leaving_;
        }
        if (connection == nullptr || connection->hasDestination) {
            close(fd);
            failWithState("the destination was reached by a connection of no new client");
        }
        // Small kernel buffers on the relay's side make its own queues fill, and its sends
        // stop part way.
        if (int size = kRelaySendBuffers[flags & 3]; size != 0 && pair != nullptr) {
            for (CTcpSockStream* stream : {pair->acceptSocket.get(), pair->connectSocket.get()}) {
                stream->SetSockOpt(SO_SNDBUF, &size, sizeof size);
            }
        }
        connection->ends[kDestination].fd = fd;
        connection->hasDestination = true;
        connection->relayStream = pair != nullptr ? pair->acceptSocket.get() : nullptr;
    }
}

void Harness::sendFrom(Connection& connection, int side, std::size_t length) {
    Endpoint& end = connection.ends[side];
    if (end.fd < 0 || end.writeShut) {
        return;
    }
    length = std::min(length, buffer_.size());
    for (std::size_t i = 0; i < length; ++i) {
        buffer_[i] = patternByte(connection.seeds[side], end.sent + i);
    }
    ssize_t n = send(end.fd, buffer_.data(), length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        end.sent += static_cast<std::uint64_t>(n);
    } else if (n < 0 && errno != EAGAIN) {
        // The error is the reset itself, taken from the socket; a read will not see it.
        connection.reset = true;
        end.sendTookReset = true;
    }
}

void Harness::sendUrgent(Connection& connection, int side, std::size_t before) {
    Endpoint& end = connection.ends[side];
    std::uint64_t start = end.sent;
    sendFrom(connection, side, before);
    if (end.fd < 0 || end.writeShut || end.sent != start + before) {
        return;
    }
    unsigned char byte = urgentByte(connection.seeds[side], end.sent);
    ssize_t n = send(end.fd, &byte, 1, MSG_OOB | MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == 1) {
        end.urgent.push_back(end.sent);
        ++end.sent;
    } else if (n < 0 && errno != EAGAIN) {
        // The error is the reset itself, taken from the socket; a read will not see it.
        connection.reset = true;
        end.sendTookReset = true;
    }
}

void Harness::readFrom(Connection& connection, int side, std::size_t limit) {
    Endpoint& end = connection.ends[side];
    if (!end.readable()) {
        return;
    }
    ssize_t n = recv(end.fd, buffer_.data(), std::min(limit, buffer_.size()), MSG_DONTWAIT);
    if (n == 0) {
        end.sawEnd = true;
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN) {
            end.sawError = true;
            connection.reset = true;
        }
        return;
    }
    const Endpoint& writer = connection.ends[1 - side];
    std::uint32_t seed = connection.seeds[1 - side];
    std::uint64_t offset = end.received;
    for (ssize_t i = 0; i < n; ++i, ++offset) {
        if (writer.urgentAt(offset) && buffer_[i] != urgentByte(seed, offset)) {
            ++offset;
        }
        if (offset >= writer.sent) {
            failWithState("an end read more bytes than the other end wrote");
        }
        unsigned char expected =
            writer.urgentAt(offset) ? urgentByte(seed, offset) : patternByte(seed, offset);
        if (buffer_[i] != expected) {
            fail("byte %llu towards the %s differs from what was sent",
                 static_cast<unsigned long long>(offset),
                 side == kClient ? "client" : "destination");
        }
    }
    end.received = offset;
    g_stats.bytes += static_cast<unsigned long long>(n);
}

void Harness::shutDown(Connection& connection, int side) {
    Endpoint& end = connection.ends[side];
    if (end.fd < 0 || end.writeShut) {
        return;
    }
    shutdown(end.fd, SHUT_WR);
    end.writeShut = true;
    end.endedCleanly = true;
}

void Harness::closeEnd(Connection& connection, int side, bool reset) {
    Endpoint& end = connection.ends[side];
    if (end.fd < 0) {
        return;
    }
    int unread = 0;
    if (reset) {
        loopback::resetOnClose(end.fd);
    } else if (ioctl(end.fd, FIONREAD, &unread) != 0) {
        unread = 1;
    }
    // A close over unread data is a reset as far as the peer is concerned.
    if (reset || unread > 0) {
        connection.reset = true;
        connection.ourReset = true;
    } else if (!end.writeShut) {
        end.endedCleanly = true;
    }
    close(end.fd);
    end.fd = -1;
    end.closedByUs = true;
    end.writeShut = true;
}

void Harness::keepSending(Connection& connection, int side, int rounds, std::size_t length) {
    shutDown(connection, 1 - side);
    for (int i = 0; i < rounds; ++i) {
        sendFrom(connection, side, length);
        runSlice(0);
    }
}

bool Harness::ownsPair(const Connection& connection) {
    int cursor = 0;
    while (CTcpSockPair* pair = repeater_->getNextPair(cursor)) {
        if (connectionOf(*pair) == &connection) {
            return true;
        }
    }
    return false;
}

void Harness::awaitLookup(Clock::time_point deadline) {
    for (int round = 0; round < kMaxRounds && !gate_->entered(); ++round) {
        if (Clock::now() >= deadline) {
            gate_->release(false);
            failWithState("the relay did not look the destination up for a new client");
        }
        loop_.dispatchReady();
        pumpReads();
        // The lookup starts on another thread, which wakes no descriptor of ours.
        waitForActivity(std::min(deadline, Clock::now() + milliseconds(1)));
    }
}

void Harness::leaveDuringLookup(std::uint8_t flags) {
    if (!byName_ || stopped_ || connections_.size() >= kMaxConnections) {
        return;
    }
    gate_->hold();
    Connection* connection = openClient(0);
    leaving_ = connection;
    const Clock::time_point deadline = Clock::now() + kConnectTimeout;
    awaitLookup(deadline);
    if ((flags & 2) != 0) {
        sendFrom(*connection, kClient, std::size_t{64} * (1 + (flags >> 6)));
    }
    closeEnd(*connection, kClient, (flags & 1) != 0);
    runSlice((flags >> 3) & 7);
    gate_->release((flags & 4) != 0);
    for (int round = 0; round < kMaxRounds && ownsPair(*connection); ++round) {
        if (Clock::now() >= deadline) {
            failWithState("a client that left during the lookup kept its pair");
        }
        loop_.dispatchReady();
        pumpReads();
        takeDestinations(0);
        // Passing ends on keeps the pair until the destination, told of the client's end,
        // ends too.
        Endpoint& destination = connection->ends[kDestination];
        if (halfClose_ && destination.sawEnd && !destination.closedByUs) {
            closeEnd(*connection, kDestination, false);
        }
        waitForActivity(std::min(deadline, Clock::now() + milliseconds(1)));
    }
    if (!connection->relayClosed) {
        // A failed lookup or connect lets the pair go without a notification.
        connection->relayClosed = true;
        connection->reset = true;
        connection->ourReset = true;
    }
    leaving_ = nullptr;
}

void Harness::stopRelay(bool destroy) {
    if (!repeater_) {
        return;
    }
    stopped_ = true;
    int cursor = 0;
    while (CTcpSockPair* pair = repeater_->getNextPair(cursor)) {
        if (Connection* connection = connectionOf(*pair)) {
            noteTaken(*connection, *pair);
        }
    }
    for (auto& connection : connections_) {
        connection->lingerCut = true;
        if (!connection->relayClosed) {
            // Stopping (or destroying) closes every pair at once, whatever is still queued.
            connection->relayClosed = true;
            connection->reset = true;
            connection->ourReset = true;
        }
    }
    if (destroy) {
        // Destruction reports nothing, the listener may be going too.
        repeater_.reset();
        counts_.last = 0;
    } else {
        repeater_->stop();
        if (repeater_->getLingeringCount() != 0) {
            failWithState("sockets still linger after stop");
        }
    }
}

void Harness::pumpReads() {
    for (auto& connection : connections_) {
        for (int side = 0; side < 2; ++side) {
            Endpoint& end = connection->ends[side];
            const int reads = std::max<int>(kMaxReadsPerPump, kPumpBytes / end.readChunk);
            for (int i = 0; i < reads && end.autoRead && end.readable(); ++i) {
                std::uint64_t before = end.received;
                readFrom(*connection, side, end.readChunk);
                if (end.received == before) {
                    break;
                }
            }
        }
    }
}

void Harness::waitForActivity(Clock::time_point deadline, std::vector<pollfd> fds) {
    fds.push_back({loop_.descriptor(), POLLIN, 0});
    for (auto& connection : connections_) {
        for (Endpoint& end : connection->ends) {
            if (end.autoRead && end.readable()) {
                fds.push_back({end.fd, POLLIN, 0});
            }
        }
    }
    long long left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count() + 1;
    poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, std::min(left, 50LL))));
}

void Harness::runSlice(int ms) {
    const Clock::time_point deadline = Clock::now() + milliseconds(ms);
    for (int round = 0; round < kMaxRounds; ++round) {
        loop_.dispatchReady();
        pumpReads();
        if (Clock::now() >= deadline) {
            return;
        }
        waitForActivity(deadline);
    }
}

bool Harness::settled() {
    if (pairsLeft() != 0) {
        return false;
    }
    for (auto& connection : connections_) {
        for (Endpoint& end : connection->ends) {
            if (end.readable()) {
                return false;
            }
        }
    }
    return true;
}

void Harness::teardown() {
    // Everybody reads again and ends its stream; the relay must then wind every pair up.
    for (auto& connection : connections_) {
        for (int side = 0; side < 2; ++side) {
            connection->ends[side].autoRead = true;
            shutDown(*connection, side);
        }
    }
    const Clock::time_point deadline = Clock::now() + kTeardownTimeout;
    bool done = false;
    for (int round = 0; round < kMaxRounds && !done; ++round) {
        loop_.dispatchReady();
        pumpReads();
        done = settled();
        if (!done) {
            if (Clock::now() >= deadline) {
                failWithState("the relay did not wind up after every end closed");
            }
            waitForActivity(deadline);
        }
    }
    if (!done) {
        failWithState("the relay did not wind up within the round limit");
    }
    if ((repeater_ && repeater_->connectionCount() != 0) || counts_.last != 0) {
        failWithState("connections still counted with the table empty");
    }
    for (auto& connection : connections_) {
        if (!connection->relayClosed) {
            failWithState("a pair left the table without a notification");
        }
        checkDelivery(*connection);
        checkOwed(*connection);
        checkCleanEnds(*connection);
    }
    if (repeater_) {
        repeater_->stop();
        if (repeater_->getLingeringCount() != 0) {
            failWithState("sockets still linger after stop");
        }
    }
    ++g_stats.inputs;
    if (g_stats.print && g_stats.inputs % 1000 == 0) {
        std::fprintf(stderr,
                     "relay_engine_fuzzer: %lu inputs, %lu connections, %lu directions checked "
                     "whole, %lu prefix only, %lu reset connections, %llu bytes\n",
                     g_stats.inputs, g_stats.connections, g_stats.fullChecks, g_stats.prefixOnly,
                     g_stats.resets, g_stats.bytes);
    }
}

void Harness::checkDelivery(const Connection& connection) {
    if (connection.reset) {
        ++g_stats.resets;
    }
    if (!connection.hasDestination) {
        return;
    }
    for (int writer = 0; writer < 2; ++writer) {
        const Endpoint& from = connection.ends[writer];
        const Endpoint& to = connection.ends[1 - writer];
        // Read to its end, the relay's socket towards the writer holds nothing unread, so
        // its close can only be a clean one; but an urgent byte stays unread for good.
        // A stop resets an end that was still owed bytes, and only such an end.
        bool owedAtStop = connection.lingerCut && connection.takenKnown &&
                          from.received < connection.taken[1 - writer];
        // Only where the other side had ended as well: otherwise its end is a reset.
        if (connection.endSeenByRelay[writer] && connection.endSeenByRelay[1 - writer] &&
            from.sawError && !connection.ourReset && !connection.relayError &&
            from.urgent.empty() && !owedAtStop) {
            failWithState(writer == kClient ? "the client was reset after its clean end"
                                            : "the destination was reset after its clean end");
        }
        if (connection.reset || !connection.endSeenByRelay[writer] ||
            (to.closedByUs && !to.sawEnd) || !to.urgent.empty()) {
            ++g_stats.prefixOnly;
            continue;
        }
        // A last urgent byte, left out, shows only in the count.
        std::uint64_t reached = to.received;
        if (reached + 1 == from.sent && from.urgentAt(reached)) {
            ++reached;
        }
        if (!to.sawEnd || reached != from.sent) {
            failWithState(writer == kClient ? "the destination missed bytes the client sent"
                                            : "the client missed bytes the destination sent");
        }
        ++g_stats.fullChecks;
    }
}

void Harness::noteTaken(Connection& connection, const CTcpSockPair& pair) {
    connection.takenKnown = true;
    connection.taken = {pair.bytesUp(), pair.bytesDown()};
}

void Harness::checkCleanEnds(const Connection& connection) {
    for (int reader = 0; reader < 2; ++reader) {
        const Endpoint& to = connection.ends[reader];
        const Endpoint& from = connection.ends[1 - reader];
        // After a send took a reset, reads return 0 though no end was sent.
        if (!to.sawEnd || to.sendTookReset) {
            continue;
        }
        if (!from.endedCleanly) {
            failWithState(reader == kClient
                              ? "a clean end reached the client though the destination had not "
                                "ended its stream"
                              : "a clean end reached the destination though the client had not "
                                "ended its stream");
        }
        // A last urgent byte, left out, shows only in the count.
        std::uint64_t reached = to.received;
        if (reached + 1 == from.sent && from.urgentAt(reached)) {
            ++reached;
        }
        if (reached < from.sent) {
            failWithState(reader == kClient
                              ? "a clean end reached the client before all the destination sent"
                              : "a clean end reached the destination before all the client sent");
        }
    }
}

void Harness::checkOwed(const Connection& connection) {
    for (int side = 0; side < 2; ++side) {
        const Endpoint& end = connection.ends[side];
        // An urgent byte of its own stays unread on the relay's side, and that close resets.
        if (!connection.endSeenByRelay[side] || connection.ourReset || connection.relayError ||
            connection.lingerCut || !end.urgent.empty() ||
            (end.closedByUs && !end.sawEnd && !end.sawError)) {
            continue;
        }
        // A reset comes only once the peer's kernel has taken everything, so it is read first.
        if (!(end.sawEnd || end.sawError) || end.received < connection.owedAtClose[side]) {
            failWithState(side == kClient
                              ? "the client ended its stream and missed what the relay held for it"
                              : "the destination ended its stream and missed what the relay held "
                                "for it");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    if (!sendTraceToNullDevice()) {
        fail("cannot send the trace to /dev/null");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int before = figures::openDescriptors();
    if (before == 0) {
        fail("cannot list /proc/self/fd");
    }
    {
        Script script(data, size);
        Harness harness;
        harness.run(script);
    }
    // A resolver thread lets go of the loop's wake descriptor as it ends, just after the relay.
    int after = figures::openDescriptorsSettlingAt(before);
    if (after != before) {
        fail("%d descriptors before the input, %d after", before, after);
    }
    return 0;
}
