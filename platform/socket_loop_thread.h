#pragma once

#include <functional>
#include <memory>
#include <thread>

class LoopInbox;

// A socket event loop on a thread of its own, so that relaying never waits for the window
// and the window's event loop never sits between two socket events.
//
// Everything that touches the loop's sockets (repeaters made, started, stopped, read and
// destroyed) goes through call(), which runs it on the loop's thread and waits for it.
// Nothing on the loop's thread waits for the caller, so calls cannot deadlock; results
// for the caller travel back by whatever queued mechanism the caller owns.
// Ownership: owns the thread and, on it, the loop. Destroy it after everything made
// through it. Thread: make, call and destroy from one thread other than the loop's.
class SocketLoopThread {
  public:
    SocketLoopThread();
    ~SocketLoopThread();
    SocketLoopThread(const SocketLoopThread&) = delete;
    SocketLoopThread& operator=(const SocketLoopThread&) = delete;

    // False when the loop could not be made; the thread has then ended already.
    bool isOpen() const { return inbox_ != nullptr; }

    // Runs the work on the loop's thread and returns once it has run; an exception of the
    // work is thrown again here. Does nothing when the loop is not open. Never from the
    // loop's own thread (debug builds stop there).
    void call(const std::function<void()>& work);

  private:
    std::shared_ptr<LoopInbox> inbox_;
    std::thread thread_;
};

// Runs the work through the thread when there is one, here otherwise (a loop on the
// caller's own thread).
void runOnSocketLoop(SocketLoopThread* thread, const std::function<void()>& work);
