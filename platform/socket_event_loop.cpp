#include "platform/socket_event_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cerrno>

#include "platform/async_socket.h"
#include "platform/loop_inbox.h"

namespace {
thread_local SocketEventLoop* t_currentLoop = nullptr;

// The timer's registration id; socket ids always have a generation of 1 or more.
constexpr std::uint64_t kTimerId = 0xFFFFFFFFull;
constexpr std::uint64_t kWakeId = 0xFFFFFFFEull;
// Rounds of posted notifications per dispatch, so that a socket re-posting itself
// cannot hold the thread.
constexpr int kPostedRounds = 4;
constexpr int kBatchSize = 256;

std::uint32_t slotOf(std::uint64_t id) {
    return static_cast<std::uint32_t>(id & 0xFFFFFFFFu);
}
std::uint32_t generationOf(std::uint64_t id) {
    return static_cast<std::uint32_t>(id >> 32);
}
}  // namespace

SocketEventLoop::SocketEventLoop() {
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool ready = epollFd_ >= 0 && timerFd_ >= 0 && wakeFd_ >= 0;
    for (auto [fd, id] : {std::pair{timerFd_, kTimerId}, std::pair{wakeFd_, kWakeId}}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = id;
        ready = ready && epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) == 0;
    }
    if (!ready && epollFd_ >= 0) {
        close(epollFd_);
        epollFd_ = -1;
    }
    inbox_ = std::make_shared<LoopInbox>(ready ? wakeFd_ : -1);
    previous_ = t_currentLoop;
    t_currentLoop = this;
}

SocketEventLoop::~SocketEventLoop() {
    // Work still posted, or posted from now on, never runs: its targets may be gone.
    inbox_->close();
    // Sockets that outlive the loop must not reach it any more.
    for (Slot& slot : slots_) {
        if (slot.socket != nullptr) {
            slot.socket->detachFromLoop();
        }
        if (slot.handler != nullptr) {
            slot.handler->detachFromLoop();
        }
    }
    if (timerFd_ >= 0) {
        close(timerFd_);
    }
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
    if (epollFd_ >= 0) {
        close(epollFd_);
    }
    t_currentLoop = previous_;
}

SocketEventLoop* SocketEventLoop::current() {
    return t_currentLoop;
}

std::uint64_t SocketEventLoop::registerSocket(CAsyncSocket* socket) {
    return takeSlot(socket, nullptr);
}

std::uint64_t SocketEventLoop::registerHandler(LoopEventHandler* handler) {
    return takeSlot(nullptr, handler);
}

std::uint64_t SocketEventLoop::takeSlot(CAsyncSocket* socket, LoopEventHandler* handler) {
    std::uint32_t index = 0;
    if (!freeSlots_.empty()) {
        index = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        index = static_cast<std::uint32_t>(slots_.size());
        slots_.push_back(Slot{});
    }
    Slot& slot = slots_[index];
    slot.socket = socket;
    slot.handler = handler;
    ++slot.generation;
    if (slot.generation == 0) {
        slot.generation = 1;
    }
    return (static_cast<std::uint64_t>(slot.generation) << 32) | index;
}

void SocketEventLoop::unregisterSocket(std::uint64_t id) {
    if (lookup(id) == nullptr && lookupHandler(id) == nullptr) {
        return;
    }
    std::uint32_t index = slotOf(id);
    slots_[index].socket = nullptr;
    slots_[index].handler = nullptr;
    freeSlots_.push_back(index);
}

bool SocketEventLoop::watch(std::uint64_t id, int fd, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    return epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool SocketEventLoop::rewatch(std::uint64_t id, int fd, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    return epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void SocketEventLoop::unwatch(int fd) {
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
}

void SocketEventLoop::replaceSocket(std::uint64_t id, CAsyncSocket* socket) {
    if (lookup(id) != nullptr) {
        slots_[slotOf(id)].socket = socket;
    }
}

CAsyncSocket* SocketEventLoop::lookup(std::uint64_t id) const {
    std::uint32_t index = slotOf(id);
    if (index >= slots_.size()) {
        return nullptr;
    }
    const Slot& slot = slots_[index];
    return slot.generation == generationOf(id) ? slot.socket : nullptr;
}

LoopEventHandler* SocketEventLoop::lookupHandler(std::uint64_t id) const {
    std::uint32_t index = slotOf(id);
    if (index >= slots_.size()) {
        return nullptr;
    }
    const Slot& slot = slots_[index];
    return slot.generation == generationOf(id) ? slot.handler : nullptr;
}

void SocketEventLoop::postWritable(std::uint64_t id) {
    posted_.push_back(id);
    if (!dispatching_) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
    }
}

void SocketEventLoop::deliverPosted() {
    for (int round = 0; round < kPostedRounds && !posted_.empty(); ++round) {
        std::vector<std::uint64_t> due;
        due.swap(posted_);
        for (std::uint64_t id : due) {
            if (CAsyncSocket* socket = lookup(id)) {
                socket->deliverPostedSend();
            }
        }
    }
    if (!posted_.empty()) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
    }
}

void SocketEventLoop::runInbox() {
    for (auto& work : inbox_->take()) {
        work();
    }
}

SocketEventLoop::TimerId SocketEventLoop::addTimer(Clock::time_point due,
                                                   std::chrono::milliseconds interval,
                                                   std::function<void()> callback) {
    assertInLoopThread();
    TimerId id = nextTimerId_++;
    timers_.emplace(id, Timer{due, interval, std::move(callback)});
    bool first = timerOrder_.empty() || due < timerOrder_.begin()->first;
    timerOrder_.emplace(due, id);
    if (first) {
        armTimer();
    }
    return id;
}

SocketEventLoop::TimerId SocketEventLoop::runAfter(std::chrono::milliseconds delay,
                                                   std::function<void()> callback) {
    return addTimer(Clock::now() + delay, std::chrono::milliseconds{0}, std::move(callback));
}

SocketEventLoop::TimerId SocketEventLoop::runEvery(std::chrono::milliseconds interval,
                                                   std::function<void()> callback) {
    interval = std::max(interval, std::chrono::milliseconds{1});
    return addTimer(Clock::now() + interval, interval, std::move(callback));
}

void SocketEventLoop::cancel(TimerId id) {
    auto found = timers_.find(id);
    if (found == timers_.end()) {
        return;
    }
    timerOrder_.erase({found->second.due, id});
    timers_.erase(found);
}

void SocketEventLoop::assertInLoopThread() const {
    assert(isInLoopThread() && "loop-only work called from another thread");
}

void SocketEventLoop::armTimer() {
    itimerspec deadline{};
    if (!timerOrder_.empty()) {
        auto wait = timerOrder_.begin()->first - Clock::now();
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        if (ns < 1) {
            ns = 1;  // zero would disarm the timer
        }
        deadline.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        deadline.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    timerfd_settime(timerFd_, 0, &deadline, nullptr);
}

void SocketEventLoop::fireTimers() {
    std::uint64_t expirations = 0;
    while (read(timerFd_, &expirations, sizeof expirations) > 0) {
    }
    auto now = Clock::now();
    std::vector<TimerId> due;
    for (auto next = timerOrder_.begin(); next != timerOrder_.end() && next->first <= now;) {
        due.push_back(next->second);
        next = timerOrder_.erase(next);
    }
    // A callback may cancel or add timers, its own included: each is looked up afresh.
    for (TimerId id : due) {
        auto found = timers_.find(id);
        if (found == timers_.end()) {
            continue;
        }
        std::function<void()> callback;
        if (found->second.interval.count() > 0) {
            found->second.due = now + found->second.interval;
            timerOrder_.emplace(found->second.due, id);
            callback = found->second.callback;
        } else {
            callback = std::move(found->second.callback);
            timers_.erase(found);
        }
        callback();
    }
    armTimer();
}

int SocketEventLoop::wait(int timeoutMs) {
    if (epollFd_ < 0) {
        return 0;
    }
    // Left uninitialised: epoll_wait fills what it reports, and clearing the whole batch
    // would cost more than the rest of a typical wake-up.
    std::array<epoll_event, kBatchSize> events;
    int n = epoll_wait(epollFd_, events.data(), kBatchSize, posted_.empty() ? timeoutMs : 0);
    ++fetches_;
    dispatching_ = true;
    for (int i = 0; i < n; ++i) {
        std::uint64_t id = events[i].data.u64;
        if (id == kTimerId) {
            fireTimers();
            continue;
        }
        if (id == kWakeId) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t got = read(wakeFd_, &count, sizeof count);
            runInbox();
            continue;
        }
        // An earlier event of this batch may have closed or destroyed this socket.
        CAsyncSocket* socket = lookup(id);
        if (socket != nullptr) {
            socket->handleEvents(events[i].events);
        } else if (LoopEventHandler* handler = lookupHandler(id)) {
            handler->handleLoopEvents(events[i].events);
        }
    }
    deliverPosted();
    dispatching_ = false;
    return n < 0 ? 0 : n;
}

int SocketEventLoop::dispatchReady() {
    return wait(0);
}

bool SocketEventLoop::runUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return done();
        }
        // Short waits so that conditions changed outside the loop (by other threads) are seen.
        wait(static_cast<int>(std::min<long long>(left.count(), 20)));
    }
    return true;
}

void SocketEventLoop::runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
}

void SocketEventLoop::run() {
    quitting_ = false;
    while (!quitting_) {
        wait(-1);
    }
}

std::uint64_t SocketEventLoop::addStopHook(StopHook hook) {
    std::uint64_t id = nextStopHook_++;
    stopHooks_.emplace(id, std::move(hook));
    return id;
}

void SocketEventLoop::removeStopHook(std::uint64_t id) {
    stopHooks_.erase(id);
}

void SocketEventLoop::stopAll(Clock::time_point graceEnds) {
    // By id, looked up afresh: each stop removes its own hook, and may remove others.
    std::uint64_t next = 0;
    for (;;) {
        auto hook = stopHooks_.lower_bound(next);
        if (hook == stopHooks_.end()) {
            return;
        }
        next = hook->first + 1;
        StopHook stop = hook->second;
        stop(graceEnds);
    }
}
