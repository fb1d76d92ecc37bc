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
#include "platform/datagram_batch.h"
#include "platform/datagram_socket.h"
#include "platform/host_resolver.h"
#include "platform/loop_timer.h"
#include "relay/connection_log.h"
#include "relay/port_repeater.h"
#include "relay/repeater_tuning.h"
#include "relay/udp_port_quarantine.h"
#include "relay/udp_session_table.h"

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
// resolver and a copy of its configuration, from which alone it works; the listener is not
// owned. Thread: the relay's only.
class UdpRepeater final : public PortRepeater,
                          private DatagramSocketHandler,
                          private UdpSessionOwner {
  public:
    static constexpr int kDefaultIdleSeconds = 60;
    static constexpr std::chrono::seconds kShortestQuarantine{30};
    static constexpr std::chrono::seconds kLongestQuarantine{120};

    explicit UdpRepeater(RepeaterTuning tuning = {});
    ~UdpRepeater() override;
    UdpRepeater(const UdpRepeater&) = delete;
    UdpRepeater& operator=(const UdpRepeater&) = delete;

    void setListener(RepeaterListener* newListener) override { listener_ = newListener; }
    // Takes its own copy of the forward's settings, as the window hands it over; its name
    // goes into the log and the trace, the options that mean nothing for datagrams are left.
    // The sockets' kernel buffers are held to 1..kMaxBufferKb KiB.
    void configure(const ForwardConfig& config) override;
    const ForwardConfig& config() const override { return config_; }
    void update(const ForwardConfig& config) override;
    // The listening socket stays for the answers and the datagrams of the sessions left.
    void drain() override { draining_ = true; }
    bool drained() const override { return sessions_.size() == 0 && quarantine_.size() == 0; }
    static constexpr int kMaxBufferKb = kMostBufferSizeKb;
    // How destination names are looked up (the system's resolver unless a test says else).
    void setLookupFunction(LookupFunction lookup);

    // Binds the configured port and relays to the configured destination.
    bool start() override;
    void stop();
    // Datagrams need no grace: nothing waits to be delivered.
    void stop(std::chrono::steady_clock::time_point /*graceEnds*/) override { stop(); }

    unsigned int listenPort() const override;
    bool isListening() const override { return listenSocket_.isOpen(); }
    int connectionCount() const override { return static_cast<int>(sessions_.size()); }
    // Ended sessions whose ports are still held.
    std::size_t quarantined() const { return quarantine_.size(); }
    std::size_t maxSessions() const { return maxSessions_; }
    // Ends the session with this serial; false when it has gone.
    bool disconnect(std::uint64_t serial) override;
    // One row per session, oldest first; a session holds no relay buffer (UsedBuff 0).
    std::vector<ConnectionRow> rows() const override;

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
    static std::string destinationText(const UdpSession& session);
    ConnectionLog::Ends endsOf(const UdpSession& session) const;
    std::chrono::milliseconds idleLimit() const;
    std::chrono::milliseconds quarantineTime() const;
    bool roomForNewSession(std::chrono::steady_clock::time_point now);

    RepeaterListener* listener_ = nullptr;
    std::size_t maxSessions_;
    std::chrono::milliseconds idleOverride_;
    std::chrono::milliseconds quarantineOverride_;
    ForwardConfig config_;
    LookupFunction lookup_ = systemLookup;

    // What sessions begun from now on start under: config_ with its numeric destination (a
    // name is looked up per session) and its log. Made at start and by every update.
    std::shared_ptr<const ForwardGeneration> generation_;
    bool draining_ = false;
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
