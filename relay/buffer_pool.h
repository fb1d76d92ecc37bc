#pragma once

#include <cstddef>
#include <memory>
#include <vector>

// Send-queue blocks of one size, lent to streams while their queue holds data.
//
// An idle connection holds no block; a busy one takes a block from the free list, so
// steady relaying allocates nothing from the system. Free blocks are kept for reuse up to
// kMostIdleBytes in all, the rest are given back; a block larger than that is never kept,
// so a burst of large buffers leaves nothing resident behind it.
// Ownership: owns the free blocks; lent blocks belong to the borrower until release().
// Thread: the relay's thread only. Shared by the streams of one repeater (shared_ptr), so
// it outlives every stream that borrowed from it.
class BufferPool {
  public:
    static constexpr std::size_t kMostIdleBytes = std::size_t{32} * 1024 * 1024;

    explicit BufferPool(std::size_t blockSize);
    ~BufferPool();
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    std::size_t blockSize() const { return blockSize_; }

    // A block of blockSize() bytes, or null when memory is exhausted.
    unsigned char* acquire();
    void release(unsigned char* block);

    std::size_t idleBytes() const { return free_.size() * blockSize_; }

  private:
    std::size_t blockSize_;
    std::size_t maxFreeBlocks_;
    std::vector<unsigned char*> free_;
};
