#pragma once

#include <functional>
#include <mutex>
#include <vector>

// Work that other threads hand to an event loop's thread.
//
// post() queues a function and wakes the loop through an event descriptor; the loop takes the
// queue on its own thread and runs it. Once the loop has closed the inbox, posts are dropped,
// so a worker that finishes after the loop is gone touches nothing of it.
// Ownership: shared by the loop and every poster (shared_ptr); owns a duplicate of the wake
// descriptor, so writing to it stays safe after the loop closed its own.
// Thread: post() from any thread; take() and close() on the loop's thread.
class LoopInbox {
  public:
    explicit LoopInbox(int wakeFd);
    ~LoopInbox();
    LoopInbox(const LoopInbox&) = delete;
    LoopInbox& operator=(const LoopInbox&) = delete;

    // False, with nothing queued, once the loop has gone.
    bool post(std::function<void()> work);
    std::vector<std::function<void()>> take();
    void close();

  private:
    std::mutex mutex_;
    std::vector<std::function<void()>> work_;
    bool closed_ = false;
    int wakeFd_ = -1;
};
