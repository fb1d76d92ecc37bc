#include "relay/send_ring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

// What the ring holds, oldest first, read through its data spans.
std::string contents(const SendRing& ring) {
    SendRing::Spans data = ring.dataSpans();
    std::string text(reinterpret_cast<const char*>(data.first), data.firstLength);
    text.append(reinterpret_cast<const char*>(data.second), data.secondLength);
    return text;
}

void receive(SendRing& ring, const std::string& bytes) {
    SendRing::Spans room = ring.freeSpans(static_cast<std::uint32_t>(bytes.size()));
    ASSERT_EQ(room.total(), bytes.size());
    std::memcpy(room.first, bytes.data(), room.firstLength);
    std::memcpy(room.second, bytes.data() + room.firstLength, room.secondLength);
    ring.commit(room.total());
}

TEST(SendRing, WrapsInTwoSpansAndGivesItsBlockBackWhenEmpty) {
    auto pool = std::make_shared<BufferPool>(8);
    SendRing ring(pool, 8);
    EXPECT_FALSE(ring.hasBlock());

    receive(ring, "abcdef");
    ring.consume(4);  // "ef" stays at the end of the block
    EXPECT_TRUE(ring.append(reinterpret_cast<const unsigned char*>("ghij"), 4));
    EXPECT_EQ(ring.size(), 6u);
    SendRing::Spans data = ring.dataSpans();
    EXPECT_EQ(data.firstLength, 4u);  // "efgh" to the block's end, then "ij" from its start
    EXPECT_EQ(data.secondLength, 2u);
    EXPECT_EQ(contents(ring), "efghij");

    // More than the free room is refused whole; a read is never offered more than the room.
    EXPECT_FALSE(ring.append(reinterpret_cast<const unsigned char*>("klm"), 3));
    EXPECT_EQ(ring.freeSpans(100).total(), 2u);
    receive(ring, "kl");
    EXPECT_EQ(ring.freeSize(), 0u);
    EXPECT_EQ(ring.freeSpans(100).total(), 0u);
    EXPECT_EQ(contents(ring), "efghijkl");

    // Handed over whole by a move; emptied, the block goes back to the pool.
    SendRing moved = std::move(ring);
    EXPECT_TRUE(ring.empty());
    moved.consume(5);
    EXPECT_EQ(contents(moved), "jkl");
    moved.consume(3);
    EXPECT_FALSE(moved.hasBlock());
    unsigned char* reused = pool->acquire();
    EXPECT_NE(reused, nullptr);
    pool->release(reused);

    // A block borrowed for a read that brought nothing is given back too.
    EXPECT_EQ(moved.freeSpans(4).total(), 4u);
    EXPECT_TRUE(moved.hasBlock());
    moved.releaseIfEmpty();
    EXPECT_FALSE(moved.hasBlock());
}

}  // namespace
