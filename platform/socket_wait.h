#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

struct pollfd;

// A blocking wait on a few sockets at once, for the short stretches (a stop's grace) when
// the thread may not return to its event loop.
// Fill it with add(), wait(), then ask each entry, by the order it was added, what it can
// do; clear() starts the next round and keeps the memory.
// Ownership: owns its list, not the descriptors. Thread: one at a time.
class SocketWait {
  public:
    SocketWait();
    ~SocketWait();
    SocketWait(const SocketWait&) = delete;
    SocketWait& operator=(const SocketWait&) = delete;

    void clear();
    // Always asks whether the socket can be read (an end or an error counts as readable).
    void add(int fd, bool wantsToSend);
    std::size_t size() const;
    // False when the wait failed other than by an interruption.
    bool wait(std::chrono::milliseconds timeout);
    bool readable(std::size_t entry) const;
    bool writable(std::size_t entry) const;

  private:
    std::vector<pollfd> entries_;
};
