#include <gtest/gtest.h>

#include <QApplication>

#include "platform/qt/socket_notifications.h"
#include "platform/socket_event_loop.h"
#include "platform/trace.h"

// The panels need a Qt application and the UI thread's socket loop, bridged into Qt's
// event loop as in the program.
int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    setTraceEnabled(false);
    SocketEventLoop loop;
    QtSocketNotifications notifications(loop);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
