#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/socket_address.h"

class LoopInbox;

// Looks host names up on a few worker threads and hands each result back to the loop's
// thread, so a slow name server never stalls the relay or the window.
//
// Results come through the loop's inbox and run the caller's callback there, unless the
// lookup was cancelled or the resolver destroyed first; then they are dropped. A worker busy
// in a lookup when the resolver goes finishes on its own and touches nothing of it.
// Ownership: owns the callbacks; shares the queue with its workers (detached threads, at
// most a few, started when lookups wait and none is idle). Thread: the loop's thread.
class HostResolver {
  public:
    using Done =
        std::function<void(std::uint64_t ticket, int error, std::vector<SocketAddress> addresses)>;

    HostResolver(std::shared_ptr<LoopInbox> inbox, LookupFunction lookup);
    ~HostResolver();
    HostResolver(const HostResolver&) = delete;
    HostResolver& operator=(const HostResolver&) = delete;

    // Starts a lookup; returns a ticket for cancel().
    std::uint64_t lookup(const std::string& host, int port, Done done);
    void cancel(std::uint64_t ticket);

    std::size_t pending() const { return callbacks_->size(); }

  private:
    struct Shared;
    using Callbacks = std::map<std::uint64_t, Done>;

    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Callbacks> callbacks_;
    std::uint64_t nextTicket_ = 1;
};
