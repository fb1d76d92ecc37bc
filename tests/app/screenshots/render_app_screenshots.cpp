// Renders the main window (its port relaying one connection), the about box, the debug
// console with the trace of that session, the main window with a long destination host and
// the main window with three and with seven ports, the window's menu and the notification
// area's menu offscreen into PNG files:
// render_app_screenshots <output directory> [en], in English with "en".
// Offscreen there is no window manager, so the main window's picture gets a plain drawn
// caption with its title above the client area.

#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

#include "app/about_dlg.h"
#include "app/app_icon.h"
#include "app/debug_console.h"
#include "app/tarnwick_app.h"
#include "app/tarnwick_dlg.h"
#include "app/tray_controller.h"
#include "app/tray_link.h"
#include "app/ui_language.h"
#include "panels/port_dlg.h"
#include "platform/trace.h"
#include "tests/app/wait_until.h"
#include "tests/support/loopback.h"
#include "tests/support/qt_test_session.h"

namespace {

using namespace std::chrono_literals;

bool save(const QPixmap& picture, const QDir& directory, const char* name) {
    const QString path = directory.filePath(QString::fromUtf8(name));
    const bool saved = picture.save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "FAILED", path.toUtf8().constData());
    return saved;
}

QPixmap withCaption(QWidget& window) {
    const QPixmap client = window.grab();
    const int captionHeight = 24;
    QPixmap framed(client.width() + 2, client.height() + captionHeight + 1);
    framed.fill(QColor(60, 60, 60));
    QPainter painter(&framed);
    painter.fillRect(1, 1, framed.width() - 2, captionHeight - 1, QColor(46, 52, 64));
    painter.drawPixmap(4, 4, window.windowIcon().pixmap(16, 16));
    painter.setPen(Qt::white);
    painter.drawText(QRect(24, 1, framed.width() - 28, captionHeight - 1),
                     Qt::AlignVCenter | Qt::AlignLeft, window.windowTitle());
    painter.drawPixmap(1, captionHeight, client);
    return framed;
}

}  // namespace

int main(int argc, char** argv) {
    QtTestSession session(argc, argv);
    const bool english = argc > 2 && std::string(argv[2]) == "en";
    std::optional<UiTranslations> translations;
    if (english) {
        translations.emplace(UiLanguage::English);
    }
    installAppIconLoader();
    QApplication::setWindowIcon(loadAppIcon());

    // Absolute now: the session below makes its own folder the current directory.
    const QDir output(
        QDir(QString::fromLocal8Bit(argc > 1 ? argv[1] : "screenshots")).absolutePath());
    QDir().mkpath(output.path());
    QTemporaryDir scratch;
    const std::string folder = scratch.path().toStdString();

    loopback::Server echo(loopback::echo);
    const int port = loopback::freePort();
    std::ofstream(folder + "/TarnwickPico.ini")
        << "[TCP-PORT0]\nACT=1\nPORT=" << port
        << "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" << echo.port() << "\n";

    bool ok = true;
    int saved = dup(STDOUT_FILENO);
    {
        // The console gets the trace of a real session: start lines, then the relay's.
        CDebugConsole console(QString::fromStdString(folder + "/tarnwick-pico"));
        console.resize(760, 300);
        console.attachDescriptor(STDOUT_FILENO);
        setTraceEnabled(true);
        g_debugMode = 1;
        CTarnwickApp::announceStart((folder + "/tarnwick-pico").c_str());

        CTarnwickDlg mainDlg;
        mainDlg.Create(nullptr);
        int client = loopback::connectTo(port, 3s);
        const bool relayed = client >= 0 && loopback::sendAll(client, "hello", 5);
        waitUntil([&] { return mainDlg.panels().front()->getConnectionCount() == 1; });
        ok &= relayed && save(withCaption(mainDlg), output, "main-window.png");
        if (client >= 0) {
            loopback::receiveExactly(client, 5);
            close(client);
        }
        waitUntil([&] { return mainDlg.panels().front()->getConnectionCount() == 0; });

        CAboutDlg about(&mainDlg);
        about.Create(&mainDlg);
        ok &= save(about.grab(), output, "about-box.png");

        waitUntil([&] { return console.text().count('\n') >= 12; }, 2s);
        console.show();
        ok &= save(console.grab(), output, "debug-console.png");
    }
    dup2(saved, STDOUT_FILENO);
    close(saved);

    // A destination host far longer than its field: cut with "…", whole in the tooltip.
    std::ofstream(folder + "/TarnwickPico.ini")
        << "[TCP-PORT0]\nACT=0\nPORT=8080\n"
           "FORWARDHOST=very-long-destination-host-name.internal.example.com\nFORWARDPORT=80\n";
    {
        CTarnwickDlg longHost;
        longHost.Create(nullptr);
        ok &= save(withCaption(longHost), output, "main-window-long-host.png");
    }

    // Several forwards: one column of three, then two columns with seven.
    for (const int count : {3, 7}) {
        std::ofstream ini(folder + "/TarnwickPico.ini");
        for (int i = 0; i < count; ++i) {
            ini << "[TCP-PORT" << i << "]\nACT=0\nPORT=" << 8080 + i << "\nFORWARDHOST=192.0.2."
                << 10 + i << "\nFORWARDPORT=" << 80 + i << "\n";
        }
        ini.close();
        CTarnwickDlg panels;
        panels.Create(nullptr);
        const std::string name = "main-window-" + std::to_string(count) + "-ports.png";
        ok &= save(withCaption(panels), output, name.c_str());
    }
    // The notification area's menu: the window, one check item per port, the end.
    {
        loopback::Server destination(loopback::echo);
        std::ofstream ini(folder + "/TarnwickPico.ini");
        ini << "[OPTIONS]\nTRAY=1\n";
        for (int i = 0; i < 3; ++i) {
            ini << "[TCP-PORT" << i << "]\nACT=" << (i < 2 ? 1 : 0)
                << "\nPORT=" << loopback::freePort()
                << "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" << destination.port() << "\n";
        }
        ini.close();
        CTarnwickDlg tray;
        tray.setTrayAvailability([] { return true; });
        tray.setTrayMaker(makeTrayController);
        tray.setUiLanguage(english ? UiLanguage::English : UiLanguage::Japanese);
        tray.Create(nullptr);
        // The window's own menu with its two check items, grabbed while it is open.
        QTimer::singleShot(100, &tray, [&] {
            if (QWidget* menu = QApplication::activePopupWidget()) {
                ok &= save(menu->grab(), output, "window-menu.png");
                menu->close();
            }
        });
        QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(2, 2),
                                tray.mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(&tray, &click);
        if (auto* icon = qobject_cast<CTrayController*>(tray.trayIcon())) {
            icon->menu().popup(QPoint(0, 0));
            ok &= save(icon->menu().grab(), output, "tray-menu.png");
            icon->menu().hide();
        } else {
            ok = false;
        }
    }

    // Forwards with names of 1, 12 and 40 characters beside one without: each name has a
    // line of its own, the longest cut with "…".
    {
        std::ofstream ini(folder + "/TarnwickPico.ini");
        const char* names[] = {"", "w", "社内データベース検証環境",
                               "backup-store-for-the-accounting-team-042"};
        for (int i = 0; i < 4; ++i) {
            ini << "[TCP-PORT" << i << "]\nACT=0\nPORT=" << 8080 + i << "\nFORWARDHOST=192.0.2."
                << 10 + i << "\nFORWARDPORT=" << 80 + i << "\n";
            if (*names[i] != '\0') {
                ini << "NAME=" << names[i] << "\n";
            }
        }
    }
    {
        CTarnwickDlg named;
        named.Create(nullptr);
        ok &= save(withCaption(named), output, "main-window-named.png");
    }
    return ok ? 0 : 1;
}
