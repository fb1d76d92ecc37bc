#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/datagram_batch.h"
#include "platform/datagram_socket.h"
#include "platform/socket_address.h"
#include "relay/forward_generation.h"

// A client's address and port in a fixed form (IPv4 as IPv4-mapped IPv6), the table's key.
struct ClientKey {
    std::array<std::uint8_t, 16> address{};
    std::uint32_t scope = 0;
    std::uint16_t port = 0;

    static ClientKey of(const SocketAddress& address);
    bool operator==(const ClientKey& other) const = default;
};

struct ClientKeyHash {
    std::size_t operator()(const ClientKey& key) const;
};

// Datagrams that came while the destination's name was being looked up; bounded.
struct PendingDatagrams {
    static constexpr std::size_t kMostDatagrams = 8;
    static constexpr std::size_t kMostBytes = std::size_t{256} * 1024;
    std::vector<std::string> datagrams;
    std::size_t bytes = 0;
};

// Where a session's events go: the repeater that owns it.
class UdpSessionOwner {
  public:
    virtual void answersReady(struct UdpSession& session) = 0;
    virtual void sessionError(struct UdpSession& session, int wsaError) = 0;

  protected:
    ~UdpSessionOwner() = default;
};

// One client of a UDP port: its address, its own socket connected to the destination and
// what has passed. Kept small: thousands may sit idle.
// Ownership: owned by the session table; owns its socket and its pending datagrams.
// Thread: the relay's.
struct UdpSession final : DatagramSocketHandler {
    UdpSession(UdpSessionOwner& owner, const SocketAddress& from, const ClientKey& key)
        : owner(&owner), client(from), key(key) {}

    void onDatagramsReady(DatagramSocket& /*socket*/) override { owner->answersReady(*this); }
    void onDatagramError(DatagramSocket& /*socket*/, int wsaError) override {
        owner->sessionError(*this, wsaError);
    }

    UdpSessionOwner* owner;
    SocketAddress client;
    ClientKey key;
    // Where the client's datagrams arrived, for the answers' source.
    LocalAddress local;
    // Open once the destination is known.
    DatagramSocket socket;
    std::unique_ptr<PendingDatagrams> pending;
    // The settings it began under, kept until it ends.
    std::shared_ptr<const ForwardGeneration> generation;
    // The destination's name lookup still running, or 0.
    std::uint64_t lookupTicket = 0;
    std::uint64_t serial = 0;
    std::uint64_t up = 0;
    std::uint64_t down = 0;
    std::chrono::steady_clock::time_point openedAt;
    std::chrono::steady_clock::time_point lastActive;
    // The table's order of activity, most recent first.
    UdpSession* newer = nullptr;
    UdpSession* older = nullptr;
};
