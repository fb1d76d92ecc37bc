#include "platform/host_resolver.h"

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
    int idle = 0;
    bool stopping = false;
    std::shared_ptr<LoopInbox> inbox;
    LookupFunction lookup;

    static void work(const std::shared_ptr<Shared>& self);
};

void HostResolver::Shared::work(const std::shared_ptr<Shared>& self) {
    std::unique_lock<std::mutex> lock(self->mutex);
    for (;;) {
        ++self->idle;
        self->wake.wait(lock, [&] { return self->stopping || !self->queue.empty(); });
        --self->idle;
        if (self->stopping) {
            --self->workers;
            return;
        }
        Request request = std::move(self->queue.front());
        self->queue.pop_front();
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
    shared_->queue.clear();
    shared_->wake.notify_all();
}

std::uint64_t HostResolver::lookup(const std::string& host, int port, Done done) {
    std::uint64_t ticket = nextTicket_++;
    callbacks_->emplace(ticket, std::move(done));
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->queue.push_back({ticket, host, port, callbacks_});
    if (shared_->idle > 0 || shared_->workers >= kMaxWorkers) {
        shared_->wake.notify_one();
        return ticket;
    }
    try {
        std::thread([shared = shared_] { Shared::work(shared); }).detach();
        ++shared_->workers;
    } catch (const std::system_error&) {
        if (shared_->workers == 0) {
            // No thread to look it up: the lookup fails like a name that does not resolve.
            shared_->queue.pop_back();
            std::weak_ptr<Callbacks> callbacks = callbacks_;
            shared_->inbox->post([callbacks, ticket] {
                if (auto alive = callbacks.lock(); alive && alive->count(ticket) != 0) {
                    Done done = std::move((*alive)[ticket]);
                    alive->erase(ticket);
                    done(ticket, WSAENOBUFS, {});
                }
            });
        }
    }
    return ticket;
}

void HostResolver::cancel(std::uint64_t ticket) {
    callbacks_->erase(ticket);
}
