#include "platform/qt/display_throttle.h"

DisplayThrottle::DisplayThrottle(int intervalMs, std::function<void()> show)
    : intervalMs_(intervalMs), show_(std::move(show)) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { showNow(); });
}

void DisplayThrottle::changed() {
    if (timer_.isActive()) {
        return;
    }
    if (!sinceShown_.isValid() || sinceShown_.elapsed() >= intervalMs_) {
        showNow();
        return;
    }
    timer_.start(static_cast<int>(intervalMs_ - sinceShown_.elapsed()));
}

void DisplayThrottle::flush() {
    if (timer_.isActive()) {
        timer_.stop();
        showNow();
    }
}

void DisplayThrottle::showNow() {
    sinceShown_.start();
    show_();
}
