#pragma once

#include <QObject>
#include <atomic>
#include <chrono>
#include <functional>

#include "relay/port_repeater.h"

// Carries a repeater's connection count from the socket loop's thread to a window's. The
// latest count wins, and after each delivery the next waits for the hold time: a busy
// relay wakes the window a few dozen times a second at most, an idle one never.
// Ownership: owns neither the context nor the repeater. A delivery or hold still pending
// when the context goes is dropped by Qt, so make the context outlive this object.
// Thread: notified on any thread; delivers on the context's thread.
class QueuedCountListener : public RepeaterListener {
  public:
    QueuedCountListener(QObject* context, std::chrono::milliseconds hold,
                        std::function<void(int)> deliver)
        : context_(context), hold_(hold), deliver_(std::move(deliver)) {}

    void notifyConnectionCount(int count) override;

  private:
    void deliverLatest();

    QObject* context_;
    std::chrono::milliseconds hold_;
    std::function<void(int)> deliver_;
    std::atomic<int> latest_{0};
    // Set from a notification until the hold after its delivery has passed.
    std::atomic<bool> pending_{false};
};
