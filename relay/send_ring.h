#pragma once

#include <cstdint>
#include <memory>

#include "relay/buffer_pool.h"

// A byte queue laid out as a ring in one block borrowed from a BufferPool.
//
// The block is taken when bytes are first queued and given back as soon as the queue is
// empty, so an idle connection holds none. Callers read into the free spans and send from
// the data spans (each at most two pieces, for one readv/writev), then commit or consume
// what the call moved; nothing outside this type does index arithmetic on the ring.
// Ownership: owns its block while it holds one; shares the pool. Moving hands the block over.
// Thread: the relay's thread only.
class SendRing {
  public:
    // Up to two pieces, in order; second is empty unless the span wraps.
    struct Spans {
        unsigned char* first = nullptr;
        std::uint32_t firstLength = 0;
        unsigned char* second = nullptr;
        std::uint32_t secondLength = 0;
        std::uint32_t total() const { return firstLength + secondLength; }
    };

    SendRing() = default;
    SendRing(std::shared_ptr<BufferPool> pool, std::uint32_t capacity);
    ~SendRing();
    SendRing(SendRing&& other) noexcept;
    SendRing& operator=(SendRing&& other) noexcept;
    SendRing(const SendRing&) = delete;
    SendRing& operator=(const SendRing&) = delete;

    std::uint32_t size() const { return count_; }
    std::uint32_t capacity() const { return capacity_; }
    std::uint32_t freeSize() const { return capacity_ - count_; }
    bool empty() const { return count_ == 0; }

    // The room behind the queued bytes, at most limit bytes of it; borrows the block first.
    // Empty spans when the ring is full or no block can be had (hasBlock() tells which).
    Spans freeSpans(std::uint32_t limit);
    bool hasBlock() const { return block_ != nullptr; }
    // The first count bytes of the free spans now hold data.
    void commit(std::uint32_t count);
    // Copies the bytes in behind the queue; false (and nothing queued) if they do not fit.
    bool append(const unsigned char* bytes, std::uint32_t length);

    // The queued bytes, oldest first.
    Spans dataSpans() const;
    // The first count queued bytes have been sent; an emptied ring gives its block back.
    void consume(std::uint32_t count);
    // Gives back a block borrowed by freeSpans() for a read that brought nothing.
    void releaseIfEmpty();

  private:
    void releaseBlock();

    std::shared_ptr<BufferPool> pool_;
    unsigned char* block_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t head_ = 0;
    std::uint32_t count_ = 0;
};
