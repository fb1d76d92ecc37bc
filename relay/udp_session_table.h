#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <unordered_map>

#include "relay/udp_session.h"

// The sessions of one UDP port, found by client address and kept in order of activity, so
// that the idle sweep and the eviction at the bound take the least recently active first
// without a scan.
// Ownership: owns every session. Thread: the relay's.
class UdpSessionTable {
  public:
    UdpSessionTable() = default;
    ~UdpSessionTable() = default;
    UdpSessionTable(const UdpSessionTable&) = delete;
    UdpSessionTable& operator=(const UdpSessionTable&) = delete;

    UdpSession* find(const ClientKey& key) const;
    // Adds a session as the most recently active; the caller keeps the table within its
    // bound (remove the oldest first).
    UdpSession& add(std::unique_ptr<UdpSession> session);
    std::unique_ptr<UdpSession> remove(UdpSession& session);
    // Marks activity now: the session moves to the front.
    void touch(UdpSession& session, std::chrono::steady_clock::time_point now);

    UdpSession* oldest() const { return oldest_; }
    UdpSession* newest() const { return newest_; }
    std::size_t size() const { return byKey_.size(); }
    bool empty() const { return byKey_.empty(); }

  private:
    void unlink(UdpSession& session);
    void linkNewest(UdpSession& session);

    std::unordered_map<ClientKey, std::unique_ptr<UdpSession>, ClientKeyHash> byKey_;
    UdpSession* newest_ = nullptr;
    UdpSession* oldest_ = nullptr;
};
