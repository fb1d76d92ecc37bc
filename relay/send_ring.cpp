#include "relay/send_ring.h"

#include <algorithm>
#include <cstring>
#include <utility>

SendRing::SendRing(std::shared_ptr<BufferPool> pool, std::uint32_t capacity)
    : pool_(std::move(pool)), capacity_(capacity) {}

SendRing::~SendRing() {
    releaseBlock();
}

SendRing::SendRing(SendRing&& other) noexcept
    : pool_(std::move(other.pool_)),
      block_(std::exchange(other.block_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      head_(std::exchange(other.head_, 0)),
      count_(std::exchange(other.count_, 0)) {}

SendRing& SendRing::operator=(SendRing&& other) noexcept {
    if (this != &other) {
        releaseBlock();
        pool_ = std::move(other.pool_);
        block_ = std::exchange(other.block_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        head_ = std::exchange(other.head_, 0);
        count_ = std::exchange(other.count_, 0);
    }
    return *this;
}

void SendRing::releaseBlock() {
    if (block_ != nullptr && pool_) {
        pool_->release(block_);
    }
    block_ = nullptr;
    head_ = 0;
    count_ = 0;
}

SendRing::Spans SendRing::freeSpans(std::uint32_t limit) {
    std::uint32_t room = std::min(limit, freeSize());
    if (room == 0) {
        return {};
    }
    if (block_ == nullptr) {
        if (!pool_ || pool_->blockSize() < capacity_) {
            return {};
        }
        block_ = pool_->acquire();
        head_ = 0;
        if (block_ == nullptr) {
            return {};
        }
    }
    std::uint32_t tail = (head_ + count_) % capacity_;
    std::uint32_t first = std::min(room, capacity_ - tail);
    return {block_ + tail, first, block_, room - first};
}

void SendRing::commit(std::uint32_t count) {
    count_ += std::min(count, freeSize());
}

bool SendRing::append(const unsigned char* bytes, std::uint32_t length) {
    if (length == 0) {
        return true;
    }
    if (length > freeSize()) {
        return false;
    }
    Spans room = freeSpans(length);
    if (room.total() != length) {
        return false;
    }
    std::memcpy(room.first, bytes, room.firstLength);
    if (room.secondLength > 0) {
        std::memcpy(room.second, bytes + room.firstLength, room.secondLength);
    }
    commit(length);
    return true;
}

SendRing::Spans SendRing::dataSpans() const {
    if (count_ == 0) {
        return {};
    }
    std::uint32_t first = std::min(count_, capacity_ - head_);
    return {block_ + head_, first, block_, count_ - first};
}

void SendRing::consume(std::uint32_t count) {
    count = std::min(count, count_);
    count_ -= count;
    if (count_ == 0) {
        releaseBlock();
        return;
    }
    head_ = (head_ + count) % capacity_;
}

void SendRing::releaseIfEmpty() {
    if (count_ == 0) {
        releaseBlock();
    }
}
