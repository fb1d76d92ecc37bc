#pragma once

#include <chrono>
#include <functional>

#include "platform/socket_event_loop.h"

// A timer of the calling thread's socket loop that lives as long as its owner: destroying
// or restarting it cancels what is still due, so a callback never finds its owner gone and
// nothing of it stays in the loop.
//
// Ownership: owned by the object whose member it is; the loop is not owned. Thread: the
// loop's thread. Without a loop on the thread, start does nothing.
class LoopTimer {
  public:
    LoopTimer() = default;
    ~LoopTimer() { cancel(); }
    LoopTimer(const LoopTimer&) = delete;
    LoopTimer& operator=(const LoopTimer&) = delete;

    // Runs the callback once after the delay; a timer already running is cancelled first.
    void start(std::chrono::milliseconds delay, std::function<void()> callback);
    // Runs the callback every interval until cancelled.
    void startRepeating(std::chrono::milliseconds interval, std::function<void()> callback);
    void cancel();
    // True from start until it has fired (once) or was cancelled.
    bool active() const;

  private:
    SocketEventLoop* loop_ = nullptr;
    SocketEventLoop::TimerId id_ = 0;
};
