#include "panels/queued_count_listener.h"

#include <QTimer>

void QueuedCountListener::notifyConnectionCount(int count) {
    latest_.store(count);
    if (!pending_.exchange(true)) {
        QMetaObject::invokeMethod(
            context_, [this] { deliverLatest(); }, Qt::QueuedConnection);
    }
}

void QueuedCountListener::deliverLatest() {
    const int delivered = latest_.load();
    deliver_(delivered);
    QTimer::singleShot(hold_, context_, [this, delivered] {
        // Cleared before the check: a count stored after it queues a delivery of its own.
        pending_.store(false);
        if (latest_.load() != delivered && !pending_.exchange(true)) {
            deliverLatest();
        }
    });
}
