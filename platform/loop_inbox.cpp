#include "platform/loop_inbox.h"

#include <unistd.h>

#include <cstdint>
#include <utility>

LoopInbox::LoopInbox(int wakeFd) : wakeFd_(wakeFd >= 0 ? dup(wakeFd) : -1) {}

LoopInbox::~LoopInbox() {
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

bool LoopInbox::post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ || wakeFd_ < 0) {
            return false;
        }
        work_.push_back(std::move(work));
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
    return true;
}

std::vector<std::function<void()>> LoopInbox::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(work_, {});
}

void LoopInbox::close() {
    std::vector<std::function<void()>> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    dropped.swap(work_);
}
