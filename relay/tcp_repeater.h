#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config/forward_config.h"
#include "platform/host_resolver.h"
#include "platform/socket_address.h"
#include "platform/socket_event_loop.h"
#include "relay/buffer_pool.h"
#include "relay/connection_log.h"
#include "relay/forward_generation.h"
#include "relay/lingering_closer.h"
#include "relay/port_repeater.h"
#include "relay/repeater_tuning.h"
#include "relay/tcp_listen_socket.h"
#include "relay/tcp_sock_pair.h"
#include "relay/tcp_sock_stream.h"
#include "relay/tcp_sock_stream_parent.h"

// How a pair ends: cleanly, or through a failure of one stream, and the reason the
// connection log gives.
struct PairEnding {
    const CTcpSockStream* failed = nullptr;
    std::string reason = "stopped";
    int error = 0;
    // Both ends are reset rather than closed (the user cut the connection).
    bool abort = false;
};

// The forwarding engine of one port: listens on a local TCP port and relays every admitted
// client to one destination host and port, one pair of streams per client.
//
// Pairs live in a table under the lowest free index; both ends close together. The number of
// pairs whose both ends are established is reported to the listener after every change.
// A destination given by name is looked up off the relay's thread for every client; numeric
// addresses are used at once. Closed pairs hand their sockets to a lingering closer, so that
// nothing already accepted from one side is thrown away on the way to the other.
// Ownership: owns the listening socket, the table, every pair and both streams of each pair,
// the resolver, the lingering sockets and a copy of its configuration, from which alone it
// works; the listener is not owned.
// Thread: the relay's thread only; there is no limit on the number of pairs.
// Closing: the streams decide when a pair closes (CTcpSockStream's rules); closePairStreams
// decides how each of its sockets closes.
class CTcpRepeater : public PortRepeater, public CTcpSockStreamParent {
  public:
    explicit CTcpRepeater(RepeaterTuning tuning = {});
    ~CTcpRepeater() override;
    CTcpRepeater(const CTcpRepeater&) = delete;
    CTcpRepeater& operator=(const CTcpRepeater&) = delete;

    void notifyOnAccept() override;
    void notifyOnConnect(int index, Side side) override;
    void notifyOnClose(int index, Side side) override;
    void notifyOnError(int index, Side side, int err) override;

    void setListener(RepeaterListener* newListener) override { listener = newListener; }
    // Takes its own copy of the forward's settings (the filter included); they count for
    // the next start and for pairs made from then on. The buffer size is held to
    // 1..kMaxBufferKb KiB.
    void configure(const ForwardConfig& config) override;
    const ForwardConfig& config() const override { return config_; }
    void update(const ForwardConfig& config) override;
    void drain() override;
    bool drained() const override { return occupiedSlots_ == 0 && closer_.size() == 0; }
    static constexpr int kMaxBufferKb = ForwardConfig::kMaxBufferSizeKb;

    // Listens on the configured port and relays to the configured destination.
    bool start() override;
    // Closes every pair and the port. What the closing sockets still hold for their peers
    // gets up to the stop grace in all to go out; whatever is left then is reset.
    void stop();
    // The same, with the grace ending at the given moment (several ports ending together).
    void stop(std::chrono::steady_clock::time_point graceEnds) override;

    // The first pair at or after cursor, moving the cursor past it; null and -1 at the end.
    CTcpSockPair* getNextPair(int& cursor);
    // Resets both ends of the pair with this serial at once; false when it has gone.
    bool disconnect(std::uint64_t serial) override;
    // Every pair in slot order.
    std::vector<ConnectionRow> rows() const override;

    unsigned int listenPort() const override;
    bool isListening() const override { return listening_; }
    int connectionCount() const override { return connectedCount_; }
    std::size_t getLingeringCount() const { return closer_.size(); }

    // How destination names are looked up (the system's resolver unless a test says else).
    void setLookupFunction(LookupFunction lookup);

  private:
    int addPair(std::unique_ptr<CTcpSockPair> pair);
    void closePair(int slot, PairEnding ending = {});
    void reportConnectionCount();
    void closePairStreams(CTcpSockPair& pair, const PairEnding& ending);
    void dropStopHook();
    void markConnected(CTcpSockPair& pair);
    std::shared_ptr<BufferPool> poolForBufferSize();
    CTcpSockPair* pairAt(int slot);
    void applyOptions(CTcpSockStream& stream) const;
    void scheduleConnectTimeout(int slot);
    void closeIdlePairs();
    void startIdleSweep();
    ConnectionLog::Ends endsOf(const CTcpSockPair& pair) const;
    void logClose(const CTcpSockPair& pair, const PairEnding& ending);
    std::unique_ptr<CTcpSockPair> makePair(std::unique_ptr<CTcpSockStream> accepted);
    void lookUpDestination(int slot);
    void connectPair(int slot, const std::vector<SocketAddress>& addresses, int lookupError);

    RepeaterListener* listener = nullptr;
    std::shared_ptr<BufferPool> pool_;
    // Declared before the pairs, so that it outlives them.
    LingeringCloser closer_;
    std::vector<std::unique_ptr<CTcpSockPair>> pairs;
    CTcpListenSocket listenSocket{*this};
    ForwardConfig config_;
    // What pairs accepted from now on start under: config_ with its numeric destination (a
    // name is looked up per client) and its log. Made at start and by every update.
    std::shared_ptr<const ForwardGeneration> generation_;
    int connectedCount_ = 0;
    // Occupied slots and the free ones below the table's end, so that neither the lowest
    // free index nor the emptiness of the table needs a scan.
    int occupiedSlots_ = 0;
    std::set<int> freeSlots_;
    bool listening_ = false;
    std::uint64_t nextSerial_ = 1;
    LoopTimer idleSweep_;
    std::chrono::milliseconds stopGrace_;
    LookupFunction lookup_ = systemLookup;
    // This port's stop, registered with its loop while it listens, or 0; the loop is not owned.
    std::uint64_t stopHook_ = 0;
    SocketEventLoop* stopLoop_ = nullptr;
    // Made at the first name lookup; destroyed before the table, dropping late results.
    std::unique_ptr<HostResolver> resolver_;
};
