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
// lookup was cancelled or the resolver destroyed first; then they are dropped. A cancelled
// request that no worker has taken yet leaves the queue at once, so clients that left cost
// no lookup. A worker busy in a lookup when the resolver goes finishes on its own and
// touches nothing of it.
// Ownership: owns the callbacks; shares the queue with its workers (detached threads, at
// most a few, started when more requests wait than workers are free). The bound on waiting
// requests counts those of every resolver of the process together.
// Thread: the loop's thread.
class HostResolver {
  public:
    using Done =
        std::function<void(std::uint64_t ticket, int error, std::vector<SocketAddress> addresses)>;

    HostResolver(std::shared_ptr<LoopInbox> inbox, LookupFunction lookup);
    ~HostResolver();
    HostResolver(const HostResolver&) = delete;
    HostResolver& operator=(const HostResolver&) = delete;

    // Requests waiting for a worker, in all resolvers of the process together.
    static constexpr int kMostWaiting = 256;

    // Starts a lookup; returns a ticket for cancel(). Returns 0 when kMostWaiting requests
    // already wait: nothing is queued and done is never called, so the caller gives up on
    // the lookup itself.
    std::uint64_t lookup(const std::string& host, int port, Done done);
    // Drops the callback; a request still waiting for a worker is never looked up.
    void cancel(std::uint64_t ticket);

    std::size_t pending() const { return callbacks_->size(); }
    // Workers waiting for a request (for tests and diagnostics).
    int idleWorkers() const;

  private:
    struct Shared;
    using Callbacks = std::map<std::uint64_t, Done>;

    // Called with the queue locked, right after the ticket's request was queued.
    void failWithoutWorker(std::uint64_t ticket);

    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Callbacks> callbacks_;
    std::uint64_t nextTicket_ = 1;
};
