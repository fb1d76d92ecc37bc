#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

// Keeps content that changes at socket speed (the connection count under a storm of short
// connections) from being shown more often than a person can see: the first change after a
// quiet spell is shown at once, later ones within the interval are shown together at its
// end. Showing is the owner's callback; the data behind it stays current all the time.
// Setting a label's text is not cheap (layout, shaping, a posted event that wakes the loop),
// so it is the showing itself that waits, not only the painting.
//
// Ownership: owns its timer; the callback must stay valid for the throttle's life.
// Thread: UI thread.
class DisplayThrottle {
  public:
    DisplayThrottle(int intervalMs, std::function<void()> show);
    DisplayThrottle(const DisplayThrottle&) = delete;
    DisplayThrottle& operator=(const DisplayThrottle&) = delete;

    // Call after each change of the data behind the display.
    void changed();
    // Shows a change still waiting now, e.g. after the user acted.
    void flush();
    bool pending() const { return timer_.isActive(); }

  private:
    void showNow();

    int intervalMs_;
    std::function<void()> show_;
    QElapsedTimer sinceShown_;
    QTimer timer_;
};
