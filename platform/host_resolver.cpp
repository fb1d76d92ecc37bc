#include "platform/host_resolver.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/loop_inbox.h"
#include "platform/wsa_error.h"

namespace {
// Enough for a name server that answers slowly without a thread per client.
constexpr int kMaxWorkers = 4;

// Requests queued and not yet taken by a worker, in every resolver of the process: a burst
// of clients towards a slow name must not queue lookups without end.
std::atomic<int> g_waitingRequests{0};

bool reserveWaitingRequest() {
    int now = g_waitingRequests.load();
    do {
        if (now >= HostResolver::kMostWaiting) {
            return false;
        }
    } while (!g_waitingRequests.compare_exchange_weak(now, now + 1));
    return true;
}

void releaseWaitingRequests(std::size_t count) {
    g_waitingRequests -= static_cast<int>(count);
}
}  // namespace

struct HostResolver::Shared {
    struct Request {
        std::uint64_t ticket = 0;
        std::string host;
        int port = 0;
        std::weak_ptr<Callbacks> callbacks;
    };

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Request> queue;
    int workers = 0;
    // Workers that have not taken a request yet, counted from their start and until they
    // take one under the lock, so a woken worker is no longer idle once it has a request.
    int idle = 0;
    bool stopping = false;
    std::shared_ptr<LoopInbox> inbox;
    LookupFunction lookup;

    static void work(const std::shared_ptr<Shared>& self);
};

void HostResolver::Shared::work(const std::shared_ptr<Shared>& self) {
    std::unique_lock<std::mutex> lock(self->mutex);
    for (;;) {
        self->wake.wait(lock, [&] { return self->stopping || !self->queue.empty(); });
        --self->idle;
        if (self->stopping) {
            --self->workers;
            return;
        }
        Request request = std::move(self->queue.front());
        self->queue.pop_front();
        releaseWaitingRequests(1);
        lock.unlock();
        std::vector<SocketAddress> addresses;
        int error = self->lookup(request.host, request.port, addresses);
        self->inbox->post(
            [request = std::move(request), error, addresses = std::move(addresses)]() mutable {
                auto callbacks = request.callbacks.lock();
                if (!callbacks) {
                    return;
                }
                auto found = callbacks->find(request.ticket);
                if (found == callbacks->end()) {
                    return;
                }
                Done done = std::move(found->second);
                callbacks->erase(found);
                done(request.ticket, error, std::move(addresses));
            });
        lock.lock();
        ++self->idle;
    }
}

HostResolver::HostResolver(std::shared_ptr<LoopInbox> inbox, LookupFunction lookup)
    : shared_(std::make_shared<Shared>()), callbacks_(std::make_shared<Callbacks>()) {
    shared_->inbox = std::move(inbox);
    shared_->lookup = std::move(lookup);
}

HostResolver::~HostResolver() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
    releaseWaitingRequests(shared_->queue.size());
    shared_->queue.clear();
    shared_->wake.notify_all();
}

std::uint64_t HostResolver::lookup(const std::string& host, int port, Done done) {
    if (!reserveWaitingRequest()) {
        return 0;
    }
    std::uint64_t ticket = nextTicket_++;
    callbacks_->emplace(ticket, std::move(done));
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->queue.push_back({ticket, host, port, callbacks_});
    shared_->wake.notify_one();
    // Every idle worker takes one request; start one more when they are too few.
    if (static_cast<int>(shared_->queue.size()) <= shared_->idle ||
        shared_->workers >= kMaxWorkers) {
        return ticket;
    }
    try {
        std::thread([shared = shared_] { Shared::work(shared); }).detach();
        ++shared_->workers;
        ++shared_->idle;
    } catch (const std::system_error&) {
        if (shared_->workers == 0) {
            failWithoutWorker(ticket);
        }
    }
    return ticket;
}

// No thread to look it up: the lookup fails like a name that does not resolve.
void HostResolver::failWithoutWorker(std::uint64_t ticket) {
    shared_->queue.pop_back();
    releaseWaitingRequests(1);
    std::weak_ptr<Callbacks> callbacks = callbacks_;
    shared_->inbox->post([callbacks, ticket] {
        if (auto alive = callbacks.lock(); alive && alive->count(ticket) != 0) {
            Done done = std::move((*alive)[ticket]);
            alive->erase(ticket);
            done(ticket, WSAENOBUFS, {});
        }
    });
}

void HostResolver::cancel(std::uint64_t ticket) {
    if (callbacks_->erase(ticket) == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(shared_->mutex);
    auto& queue = shared_->queue;
    auto waiting = std::find_if(queue.begin(), queue.end(),
                                [ticket](const Shared::Request& r) { return r.ticket == ticket; });
    if (waiting != queue.end()) {
        queue.erase(waiting);
        releaseWaitingRequests(1);
    }
}

int HostResolver::idleWorkers() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->idle;
}
