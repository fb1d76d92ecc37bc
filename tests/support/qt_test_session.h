#pragma once

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>

#include <functional>

#include "platform/socket_event_loop.h"
#include "platform/trace.h"
#include "tests/support/qt_socket_notifications.h"

// What a test program with windows needs before its first widget, as in the program: a Qt
// application (offscreen unless a platform is chosen), the UI thread's socket loop and its
// bridge into Qt's event loop. Trace lines are off. The locale is C, so the program speaks
// its own Japanese whatever the locale of whoever runs the tests; a test that wants another
// sets it, and programs it starts inherit it.
class QtTestSession {
  public:
    QtTestSession(int& argc, char** argv)
        : application_((chooseOffscreenUnlessSet(), useCLocale(), argc), argv) {
        setTraceEnabled(false);
    }

  private:
    static int chooseOffscreenUnlessSet() {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        return 0;
    }

    static int useCLocale() {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"}) {
            qunsetenv(name);
        }
        qputenv("LANG", "C.UTF-8");
        return 0;
    }

    QApplication application_;
    SocketEventLoop loop_;
    QtSocketNotifications notifications_{loop_};
};

// Runs the Qt loop (and with it the socket notifications) until done() or the deadline.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}
