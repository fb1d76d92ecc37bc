#include "app/tray_watch.h"

namespace {

constexpr int kTrayCheckMs = 1000;

}  // namespace

CTrayWatch::CTrayWatch(std::function<bool()> areaThere, std::function<void()> gone)
    : areaThere_(std::move(areaThere)), gone_(std::move(gone)) {
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { check(); });
}

void CTrayWatch::start(int graceMs) {
    graceMs_ = graceMs;
    missing_.invalidate();
    timer_.start(kTrayCheckMs);
}

void CTrayWatch::check() {
    if (areaThere_()) {
        missing_.invalidate();
        return;
    }
    if (!missing_.isValid()) {
        missing_.start();
    }
    if (missing_.elapsed() >= graceMs_) {
        timer_.stop();
        gone_();
    }
}
