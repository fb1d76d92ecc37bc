#include "platform/qt/repaint_throttle.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>

namespace {

bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

TEST(RepaintThrottleTest, FirstChangePaintsAtOnceLaterOnesTogetherAtTheIntervalsEnd) {
    QLabel label("0");
    RepaintThrottle throttle(&label, 200);

    label.setText("1");
    throttle.changed();
    EXPECT_TRUE(label.updatesEnabled()) << "the first change after a quiet spell paints at once";

    label.setText("2");
    throttle.changed();
    label.setText("3");
    throttle.changed();
    EXPECT_FALSE(label.updatesEnabled()) << "changes within the interval wait";
    EXPECT_EQ(label.text(), "3") << "the text itself is always current";

    EXPECT_TRUE(waitFor([&] { return label.updatesEnabled(); }));
}

}  // namespace
