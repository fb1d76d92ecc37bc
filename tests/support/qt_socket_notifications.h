#pragma once

#include <QEvent>
#include <QSocketNotifier>

#include "platform/socket_event_loop.h"

// Delivers socket notifications through the UI thread's Qt event loop, for tests that run a
// panel's repeater on the test's own thread: one notifier watches the socket loop's epoll
// descriptor and each wake-up dispatches what is ready, nested loops included.
// Ownership: the socket loop is not owned and must outlive it. UI thread, Qt application present.
class QtSocketNotifications : public QSocketNotifier {
  public:
    explicit QtSocketNotifications(SocketEventLoop& loop)
        : QSocketNotifier(loop.descriptor(), QSocketNotifier::Read), loop_(loop) {
        setEnabled(loop.isOpen());
    }
    ~QtSocketNotifications() override { setEnabled(false); }

  protected:
    bool event(QEvent* event) override {
        if (event->type() != QEvent::SockAct) {
            return QSocketNotifier::event(event);
        }
        loop_.dispatchReady();
        return true;
    }

  private:
    SocketEventLoop& loop_;
};
