#include "platform/qt/socket_notifications.h"

#include <QSocketNotifier>

#include "platform/socket_event_loop.h"

QtSocketNotifications::QtSocketNotifications(SocketEventLoop& loop)
    : loop_(loop),
      notifier_(std::make_unique<QSocketNotifier>(loop.descriptor(), QSocketNotifier::Read)) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
        ++wakeUps_;
        loop_.dispatchReady();
    });
    notifier_->setEnabled(loop.isOpen());
}

QtSocketNotifications::~QtSocketNotifications() {
    notifier_->setEnabled(false);
}
