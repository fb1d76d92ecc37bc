#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

class CAsyncSocket;
class LoopInbox;

// A descriptor watcher that is not a CAsyncSocket (a datagram socket): gets the epoll events
// of its registration as they are, and is told when the loop goes first.
class LoopEventHandler {
  public:
    virtual void handleLoopEvents(std::uint32_t epollEvents) = 0;
    virtual void detachFromLoop() = 0;

  protected:
    ~LoopEventHandler() = default;
};

// One epoll instance that delivers socket notifications on the thread that owns it.
//
// Role: dispatch only. It knows which socket object stands behind each registration and
// calls its event handler; what the notifications mean is CAsyncSocket's business.
// Each registration is named by an id (slot and generation) in the epoll event, never by a
// pointer, and the id is looked up before every call, so a socket closed or destroyed while
// its batch is being dispatched is never touched again.
//
// Ownership: owns the epoll and timer descriptors; does not own the sockets.
// Thread: everything runs on the thread that made the loop; it becomes that thread's
// current loop, which sockets created on the thread use. No worker threads.
class SocketEventLoop {
  public:
    using Clock = std::chrono::steady_clock;

    SocketEventLoop();
    ~SocketEventLoop();
    SocketEventLoop(const SocketEventLoop&) = delete;
    SocketEventLoop& operator=(const SocketEventLoop&) = delete;

    // False when the epoll instance could not be made; the socket layer is then unusable.
    bool isOpen() const { return epollFd_ >= 0; }

    // The epoll descriptor: readable whenever something is ready to dispatch. A loop of
    // another kind (a test's Qt loop, a fuzzer's poll) watches it and calls dispatchReady()
    // on each wake-up.
    int descriptor() const { return epollFd_; }

    // Dispatches what is ready now without waiting; returns the number of events seen.
    int dispatchReady();

    // Dispatches until done() holds or the timeout passes; returns done().
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Dispatches for the given time.
    void runFor(std::chrono::milliseconds duration);

    // Dispatches, sleeping in epoll_wait between events, until quit() is called on this
    // thread (from a handler, a timer or inbox work).
    void run();
    void quit() { quitting_ = true; }

    // How many times the loop has fetched ready events; tells a socket whether it was ready
    // at the previous fetch as well.
    std::uint64_t fetchCount() const { return fetches_; }

    // The loop of the calling thread, or null when none was made.
    static SocketEventLoop* current();

    // Registration, for CAsyncSocket. An id stays valid until unregisterSocket; whether the
    // descriptor is in the epoll set meanwhile is decided by watch and unwatch.
    std::uint64_t registerSocket(CAsyncSocket* socket);
    // The same for another kind of watcher; unregistered with unregisterSocket too.
    std::uint64_t registerHandler(LoopEventHandler* handler);
    void unregisterSocket(std::uint64_t id);
    CAsyncSocket* lookup(std::uint64_t id) const;
    LoopEventHandler* lookupHandler(std::uint64_t id) const;
    // Points a registration at another object (a descriptor handed over between sockets).
    void replaceSocket(std::uint64_t id, CAsyncSocket* socket);
    bool watch(std::uint64_t id, int fd, std::uint32_t events);
    bool rewatch(std::uint64_t id, int fd, std::uint32_t events);
    void unwatch(int fd);

    // Delivers one writable notification to the socket soon, on this thread, without
    // watching the descriptor for it (a new connection is writable at once).
    void postWritable(std::uint64_t id);

    // Timers: the callback runs on this thread after the delay (again every interval for a
    // repeating one) until cancel(id). Ids are never 0 and never reused; cancelling an id
    // that has fired or was cancelled does nothing, so nothing of a cancelled timer stays.
    using TimerId = std::uint64_t;
    TimerId runAfter(std::chrono::milliseconds delay, std::function<void()> callback);
    TimerId runEvery(std::chrono::milliseconds interval, std::function<void()> callback);
    void cancel(TimerId id);
    std::size_t timerCount() const { return timers_.size(); }

    // Debug builds stop here when the caller is not this loop's thread.
    void assertInLoopThread() const;
    bool isInLoopThread() const { return std::this_thread::get_id() == thread_; }

    // Where other threads post work for this loop's thread (see LoopInbox).
    std::shared_ptr<LoopInbox> inbox() const { return inbox_; }

    // How whatever relays on this loop is stopped in order when the process has to end at
    // once (a termination signal): each running port registers its stop while it runs.
    using StopHook = std::function<void(Clock::time_point graceEnds)>;
    std::uint64_t addStopHook(StopHook hook);
    void removeStopHook(std::uint64_t id);
    // Runs every registered stop, each with the same end of grace; a stop may remove itself.
    void stopAll(Clock::time_point graceEnds);

  private:
    struct Slot {
        CAsyncSocket* socket = nullptr;
        LoopEventHandler* handler = nullptr;
        std::uint32_t generation = 0;
    };

    std::uint64_t takeSlot(CAsyncSocket* socket, LoopEventHandler* handler);

    struct Timer {
        Clock::time_point due;
        std::chrono::milliseconds interval{0};  // 0: runs once
        std::function<void()> callback;
    };

    TimerId addTimer(Clock::time_point due, std::chrono::milliseconds interval,
                     std::function<void()> callback);
    int wait(int timeoutMs);
    void deliverPosted();
    void runInbox();
    void fireTimers();
    void armTimer();

    int epollFd_ = -1;
    int timerFd_ = -1;
    int wakeFd_ = -1;
    bool dispatching_ = false;
    bool quitting_ = false;
    std::uint64_t fetches_ = 0;
    std::vector<std::uint64_t> posted_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> freeSlots_;
    std::unordered_map<TimerId, Timer> timers_;
    std::set<std::pair<Clock::time_point, TimerId>> timerOrder_;
    TimerId nextTimerId_ = 1;
    std::thread::id thread_ = std::this_thread::get_id();
    std::shared_ptr<LoopInbox> inbox_;
    SocketEventLoop* previous_ = nullptr;
    std::map<std::uint64_t, StopHook> stopHooks_;
    std::uint64_t nextStopHook_ = 1;
};
