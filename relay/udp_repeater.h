#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "address/ip_filter.h"
#include "config/forward_config.h"
#include "platform/datagram_socket.h"
#include "platform/host_resolver.h"
#include "platform/loop_timer.h"
#include "relay/connection_log.h"
#include "platform/datagram_batch.h"
#include "relay/tcp_repeater_listener.h"
#include "relay/udp_port_quarantine.h"
#include "relay/udp_session_table.h"

// What the status list shows of one session.
struct UdpSessionRow {
    std::uint64_t serial = 0;
    std::string clientAddress;
    unsigned int clientPort = 0;
    // The local address the client reached and the forwarded port.
    std::string bindIp;
    unsigned int bindPort = 0;
    // The session's own socket and the destination; empty and 0 while the name is looked up.
    std::string outgoingIp;
    unsigned int outgoingPort = 0;
    std::string destinationAddress;
    unsigned int destinationPort = 0;
    std::uint64_t up = 0;
    std::uint64_t down = 0;
    std::chrono::steady_clock::time_point acceptedAt;
};

// The forwarding engine of one UDP port: every client address and port gets a session with
// a socket of its own connected to the destination; the client's datagrams go out there,
// whole and in order, and the destination's answers go back from the listening socket.
//
// A session begins with a client's first admitted datagram and ends after the idle timeout
// (60 s unless set), by disconnect, by stop, or when a new client needs its place at the
// bound (the least recently active goes). An ended session's socket stays open in the
// quarantine for the idle time (30 s to 2 min), dropping late answers, so that its port
// cannot reach another client; live and ended sessions together stay within twice the bound,
// and a new client that would pass it is dropped until the oldest ended ones go. A
// destination name is looked up per session off the relay's thread; meanwhile its datagrams
// wait in a small queue. The listener is told the number of sessions after every change.
// Ownership: owns the listening socket, the sessions (live and ended), the batch buffer, the
// resolver and a copy of the filter; the listener is not owned. Thread: the relay's only.
class UdpRepeater final : private DatagramSocketHandler, private UdpSessionOwner {
  public:
    static constexpr std::size_t kMaxSessions = 4096;
    static constexpr int kDefaultIdleSeconds = 60;
    static constexpr std::chrono::seconds kShortestQuarantine{30};
    static constexpr std::chrono::seconds kLongestQuarantine{120};

    explicit UdpRepeater(std::size_t maxSessions = kMaxSessions);
    ~UdpRepeater();
    UdpRepeater(const UdpRepeater&) = delete;
    UdpRepeater& operator=(const UdpRepeater&) = delete;

    void setListener(CTcpRepeaterListener* newListener) { listener_ = newListener; }
    // In KiB, for the sockets' kernel buffers; held to 1..kMaxBufferKb.
    void setBufferSize(int sizeKb) { bufferKb_ = sizeKb; }
    static constexpr int kMaxBufferKb = kMostBufferSizeKb;
    void setListenBind(int enabled, const std::string& ip);
    // A copy is kept; null admits everyone.
    void setFilter(const CIpFilter* filter);
    // The idle timeout (0: 60 s) and the time a name lookup may take (0: no limit).
    void setOptions(const RelayOptions& options) { options_ = options; }
    // An idle timeout finer than the options' seconds (fuzzers, tests); 0 leaves the options'.
    void setIdleTimeout(std::chrono::milliseconds idle) { idleOverride_ = idle; }
    // How long an ended session's port stays taken (fuzzers, tests); 0 leaves the idle time.
    void setQuarantineTime(std::chrono::milliseconds time) { quarantineOverride_ = time; }
    void setConnectionLog(const std::string& path) { logPath_ = path; }
    // All of the above from a forward's value, as the window hands it over; its name goes
    // into the log and the trace, the options that mean nothing for datagrams are left.
    void configure(const ForwardConfig& config);
    // Starts on the configured ports and host.
    bool start() { return start(config_.listenPort, config_.forwardHost, config_.forwardPort); }
    void setLookupFunction(LookupFunction lookup);

    bool start(int listenPort, const std::string& host, int destinationPort);
    void stop();

    unsigned int getListenPort() const;
    bool isListening() const { return listenSocket_.isOpen(); }
    int getConnectionCount() const { return static_cast<int>(sessions_.size()); }
    // Ended sessions whose ports are still held.
    std::size_t quarantined() const { return quarantine_.size(); }
    std::size_t maxSessions() const { return maxSessions_; }
    // Ends the session with this serial; false when it has gone.
    bool disconnect(std::uint64_t serial);
    // One row per session, oldest first.
    std::vector<UdpSessionRow> snapshot() const;

  private:
    // The listening socket.
    void onDatagramsReady(DatagramSocket& socket) override;
    void onDatagramError(DatagramSocket& socket, int wsaError) override;
    // A session's socket.
    void answersReady(UdpSession& session) override;
    void sessionError(UdpSession& session, int wsaError) override;

    void relayFromClients(unsigned count, std::chrono::steady_clock::time_point now);
    // The session each datagram of the batch goes to, or null.
    using Owners = std::array<UdpSession*, DatagramBatch::kCount>;
    void sendGathered(Owners& owners, unsigned from, unsigned to);
    UdpSession* openSession(unsigned slot, std::chrono::steady_clock::time_point now);
    bool admitted(const SocketAddress& client, const ClientKey& key,
                  std::chrono::steady_clock::time_point now);
    void hold(UdpSession& session, const char* data, std::size_t length);
    void lookUpDestination(UdpSession& session);
    void connectSession(UdpSession& session, const std::vector<SocketAddress>& addresses,
                        int lookupError);
    void closeSession(UdpSession& session, const char* reason, int error = 0);
    void sweep();
    void forgetRefused(std::chrono::steady_clock::time_point now);
    void reportCount();
    std::string destinationText() const;
    ConnectionLog::Ends endsOf(const UdpSession& session) const;
    std::chrono::milliseconds idleLimit() const;
    std::chrono::milliseconds quarantineTime() const;
    bool roomForNewSession(std::chrono::steady_clock::time_point now);

    CTcpRepeaterListener* listener_ = nullptr;
    std::size_t maxSessions_;
    int bufferKb_ = kDefaultBufferSizeKb;
    int listenBindEnabled_ = 0;
    std::string listenBindIp_;
    std::optional<CIpFilter> filter_;
    RelayOptions options_;
    std::chrono::milliseconds idleOverride_{0};
    std::chrono::milliseconds quarantineOverride_{0};
    std::string logPath_;
    ForwardConfig config_;
    LookupFunction lookup_ = systemLookup;

    std::string forwardHost_;
    int forwardPort_ = 0;
    std::optional<SocketAddress> numericDestination_;
    std::unique_ptr<ConnectionLog> log_;
    std::unique_ptr<DatagramBatch> batch_;
    std::uint64_t nextSerial_ = 1;
    std::size_t waitingLookups_ = 0;
    // Refused clients, with their last datagram's time, so each is logged once per attempt.
    std::unordered_map<ClientKey, std::chrono::steady_clock::time_point, ClientKeyHash> refused_;
    std::chrono::steady_clock::time_point refusedSaidAt_;
    std::chrono::steady_clock::time_point fullSaidAt_;
    LoopTimer sweepTimer_;
    // In this order so that the resolver goes first (late results are dropped), then the
    // sessions, then the ended ones, then the listening socket.
    DatagramSocket listenSocket_;
    UdpPortQuarantine quarantine_;
    UdpSessionTable sessions_;
    std::unique_ptr<HostResolver> resolver_;
};
