#include "platform/descriptor_limit.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

TEST(DescriptorLimitTest, SoftLimitRisesToTheHardLimit) {
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    if (original.rlim_max < 256) {
        GTEST_SKIP() << "hard limit too low to lower the soft one";
    }
    rlimit lowered = original;
    lowered.rlim_cur = 128;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

    const DescriptorLimit now = raiseDescriptorLimit();
    rlimit after{};
    getrlimit(RLIMIT_NOFILE, &after);
    setrlimit(RLIMIT_NOFILE, &original);

    EXPECT_EQ(after.rlim_cur, original.rlim_max);
    EXPECT_EQ(now.error, 0);
    if (original.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(now.soft, static_cast<long>(original.rlim_max));
        EXPECT_EQ(now.hard, now.soft);
    }
}
