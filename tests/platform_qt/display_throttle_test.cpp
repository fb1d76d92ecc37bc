#include "platform/qt/display_throttle.h"
#include "tests/support/qt_test_session.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>

#include <functional>
#include <vector>

namespace {

// The data is a counter; the display is what the callback copied from it.
struct ThrottledCounter {
    int value = 0;
    std::vector<int> shown;
    DisplayThrottle throttle{200, [this] { shown.push_back(value); }};

    void set(int v) {
        value = v;
        throttle.changed();
    }
};

TEST(DisplayThrottleTest, FirstChangeShowsAtOnceLaterOnesTogetherAtTheIntervalsEnd) {
    ThrottledCounter counter;
    counter.set(1);
    EXPECT_EQ(counter.shown, std::vector<int>{1}) << "the first change after a quiet spell";

    counter.set(2);
    counter.set(3);
    EXPECT_TRUE(counter.throttle.pending());
    EXPECT_EQ(counter.shown, std::vector<int>{1}) << "changes within the interval wait";

    ASSERT_TRUE(waitFor([&] { return !counter.throttle.pending(); }));
    EXPECT_EQ(counter.shown, (std::vector<int>{1, 3})) << "shown once, with the latest data";
}

TEST(DisplayThrottleTest, FlushShowsAWaitingChangeNowAndOnlyOnce) {
    ThrottledCounter counter;
    counter.set(1);
    counter.throttle.flush();
    EXPECT_EQ(counter.shown, std::vector<int>{1}) << "nothing was waiting";

    counter.set(2);
    counter.throttle.flush();
    EXPECT_FALSE(counter.throttle.pending());
    EXPECT_EQ(counter.shown, (std::vector<int>{1, 2}));

    // The flushed change also starts a new interval: the next one waits again.
    counter.set(3);
    EXPECT_EQ(counter.shown, (std::vector<int>{1, 2}));
    ASSERT_TRUE(waitFor([&] { return !counter.throttle.pending(); }));
    EXPECT_EQ(counter.shown, (std::vector<int>{1, 2, 3}));
}

}  // namespace
