#include "platform/qt/socket_notifications.h"

#include <QEvent>
#include <QSocketNotifier>

#include "platform/socket_event_loop.h"

// Takes the notifier's event itself: the activated signal would cost as much again as a
// typical dispatch, on every wake-up. Role: one watched descriptor; owned by
// QtSocketNotifications; UI thread.
class QtSocketNotifications::EpollNotifier : public QSocketNotifier {
  public:
    explicit EpollNotifier(QtSocketNotifications& owner)
        : QSocketNotifier(owner.loop_.descriptor(), QSocketNotifier::Read), owner_(owner) {}

  protected:
    bool event(QEvent* event) override {
        if (event->type() != QEvent::SockAct) {
            return QSocketNotifier::event(event);
        }
        ++owner_.wakeUps_;
        owner_.loop_.dispatchReady();
        return true;
    }

  private:
    QtSocketNotifications& owner_;
};

QtSocketNotifications::QtSocketNotifications(SocketEventLoop& loop)
    : loop_(loop), notifier_(std::make_unique<EpollNotifier>(*this)) {
    notifier_->setEnabled(loop.isOpen());
}

QtSocketNotifications::~QtSocketNotifications() {
    notifier_->setEnabled(false);
}
