#include "platform/loop_timer.h"

#include <utility>

void LoopTimer::start(std::chrono::milliseconds delay, std::function<void()> callback) {
    cancel();
    loop_ = SocketEventLoop::current();
    if (loop_ == nullptr) {
        return;
    }
    // The id is cleared before the callback runs, so the callback may start the timer again.
    id_ = loop_->runAfter(delay, [this, callback = std::move(callback)] {
        id_ = 0;
        callback();
    });
}

void LoopTimer::startRepeating(std::chrono::milliseconds interval, std::function<void()> callback) {
    cancel();
    loop_ = SocketEventLoop::current();
    if (loop_ == nullptr) {
        return;
    }
    id_ = loop_->runEvery(interval, std::move(callback));
}

void LoopTimer::cancel() {
    // A loop that has gone (or another thread's) holds nothing of ours any more.
    if (id_ != 0 && loop_ != nullptr && SocketEventLoop::current() == loop_) {
        loop_->cancel(id_);
    }
    id_ = 0;
}

bool LoopTimer::active() const {
    return id_ != 0;
}
