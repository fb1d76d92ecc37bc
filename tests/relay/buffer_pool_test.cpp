#include "relay/buffer_pool.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = kKiB * kKiB;

// After a burst of blocks lent at once, what stays idle is bounded by bytes, whatever the
// block size.
TEST(BufferPool, KeepsAtMost32MiBIdle) {
    struct Case {
        std::size_t blockSize;
        int burst;
        std::size_t idleAfterBurst;
    };
    const Case cases[] = {
        {128 * kKiB, 40, 40 * (128 * kKiB)},  // all of them fit
        {kMiB, 40, 32 * kMiB},
        {20 * kMiB, 4, 20 * kMiB},  // one block, not four
        {32 * kMiB, 2, 32 * kMiB},
        {32 * kMiB + 1, 2, 0},
        {64 * kMiB, 2, 0},
    };
    for (const Case& c : cases) {
        BufferPool pool(c.blockSize);
        std::vector<unsigned char*> lent;
        for (int i = 0; i < c.burst; ++i) {
            lent.push_back(pool.acquire());
            ASSERT_NE(lent.back(), nullptr);
        }
        for (unsigned char* block : lent) {
            pool.release(block);
        }
        EXPECT_EQ(pool.idleBytes(), c.idleAfterBurst) << c.blockSize;
    }
}

}  // namespace
