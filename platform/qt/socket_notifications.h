#pragma once

#include <memory>

class SocketEventLoop;

// Delivers socket notifications through the UI thread's Qt event loop: one notifier
// watches the socket loop's epoll descriptor and each wake-up dispatches what is ready.
// Works inside nested loops too (message boxes, modal dialogs), since those run the same
// event dispatcher.
// Ownership: owns the notifier, not the socket loop, which must outlive it. Make it on the
// thread that made the socket loop, with a Qt application present.
class QtSocketNotifications {
  public:
    explicit QtSocketNotifications(SocketEventLoop& loop);
    ~QtSocketNotifications();
    QtSocketNotifications(const QtSocketNotifications&) = delete;
    QtSocketNotifications& operator=(const QtSocketNotifications&) = delete;

    // Wake-ups seen so far.
    long long wakeUps() const { return wakeUps_; }

  private:
    class EpollNotifier;

    SocketEventLoop& loop_;
    std::unique_ptr<EpollNotifier> notifier_;
    long long wakeUps_ = 0;
};
