#include "platform/socket_wait.h"

#include <poll.h>

#include <cerrno>

SocketWait::SocketWait() = default;
SocketWait::~SocketWait() = default;

void SocketWait::clear() {
    entries_.clear();
}

void SocketWait::add(int fd, bool wantsToSend) {
    entries_.push_back({fd, static_cast<short>(POLLIN | (wantsToSend ? POLLOUT : 0)), 0});
}

std::size_t SocketWait::size() const {
    return entries_.size();
}

bool SocketWait::wait(std::chrono::milliseconds timeout) {
    for (pollfd& entry : entries_) {
        entry.revents = 0;
    }
    return poll(entries_.data(), entries_.size(), static_cast<int>(timeout.count())) >= 0 ||
           errno == EINTR;
}

bool SocketWait::readable(std::size_t entry) const {
    return (entries_[entry].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool SocketWait::writable(std::size_t entry) const {
    return (entries_[entry].revents & POLLOUT) != 0;
}
