#include "relay/buffer_pool.h"

#include <algorithm>
#include <new>

BufferPool::BufferPool(std::size_t blockSize)
    : blockSize_(blockSize), maxFreeBlocks_(kMostIdleBytes / std::max<std::size_t>(blockSize, 1)) {}

BufferPool::~BufferPool() {
    for (unsigned char* block : free_) {
        delete[] block;
    }
}

unsigned char* BufferPool::acquire() {
    if (!free_.empty()) {
        unsigned char* block = free_.back();
        free_.pop_back();
        return block;
    }
    return new (std::nothrow) unsigned char[blockSize_];
}

void BufferPool::release(unsigned char* block) {
    if (block == nullptr) {
        return;
    }
    if (free_.size() < maxFreeBlocks_) {
        free_.push_back(block);
    } else {
        delete[] block;
    }
}
