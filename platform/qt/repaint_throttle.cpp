#include "platform/qt/repaint_throttle.h"

RepaintThrottle::RepaintThrottle(QWidget* widget, int intervalMs)
    : widget_(widget), intervalMs_(intervalMs) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { release(); });
}

void RepaintThrottle::changed() {
    if (widget_ == nullptr || timer_.isActive()) {
        return;
    }
    if (!sincePaint_.isValid() || sincePaint_.elapsed() >= intervalMs_) {
        sincePaint_.start();
        return;
    }
    widget_->setUpdatesEnabled(false);
    timer_.start(static_cast<int>(intervalMs_ - sincePaint_.elapsed()));
}

void RepaintThrottle::release() {
    sincePaint_.start();
    if (widget_ != nullptr) {
        widget_->setUpdatesEnabled(true);  // repaints what changed meanwhile
    }
}
