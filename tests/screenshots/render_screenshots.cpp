// Renders the port panel (OFF, and ON with three relayed connections), the forward-settings
// dialog, the options dialog and the connection-status dialog (also with the traffic graph of a
// real transfer) offscreen into PNG files, so that their looks can be checked without a
// display: render_screenshots <output directory> [en], in English with "en".

#include <sys/socket.h>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTemporaryDir>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/ui_language.h"
#include "panels/options_dlg.h"
#include "panels/port_dlg.h"
#include "panels/setting_dlg.h"
#include "panels/status_dlg.h"
#include "platform/private_profile.h"
#include "resources/dialog_templates.h"
#include "tests/support/loopback.h"
#include "tests/support/qt_test_session.h"

namespace {

bool save(QWidget& widget, const QDir& directory, const char* name) {
    QCoreApplication::processEvents();
    const QString path = directory.filePath(QString::fromUtf8(name));
    const bool saved = widget.grab().save(path, "PNG");
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", path.toUtf8().constData());
    return saved;
}

// A destination that answers every chunk with twice as much, so that up and down differ.
void answerTwice(int fd) {
    std::vector<char> chunk(16384);
    for (;;) {
        const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (got <= 0 || !loopback::sendAll(fd, chunk.data(), static_cast<std::size_t>(got)) ||
            !loopback::sendAll(fd, chunk.data(), static_cast<std::size_t>(got))) {
            return;
        }
    }
}

// The status dialog of a named forward after 70 s of a real transfer whose rate rises, falls
// and rises again, with the one-minute window chosen.
bool renderGraph(QWidget& host, const QDir& output) {
    QTemporaryDir scratch;
    const std::string iniPath = QDir(scratch.path()).filePath("TarnwickPico.ini").toStdString();
    loopback::Server destination(answerTwice);
    const int listenPort = loopback::freePort();
    savePortSettings(iniPath, 0, {1, listenPort, "127.0.0.1", destination.port(), 128});
    WritePrivateProfileStringA("TCP-PORT0", "NAME", "web", iniPath.c_str());
    CPortDlg panel;
    panel.Create(&host);
    panel.setSettingsPath(iniPath);
    panel.initPanel();

    std::atomic<bool> stop{false};
    std::thread client([&] {
        loopback::Client peer;
        if (!peer.connectTo(listenPort)) {
            return;
        }
        const std::string chunk(1024, 'x');
        // Tenths of a second: the rate follows a slow wave between about 20 and 300 KiB/s.
        for (int tenth = 0; tenth < 700 && !stop; ++tenth) {
            const double wave = 0.5 + 0.5 * std::sin(tenth / 60.0);
            const int chunks = 2 + static_cast<int>(28 * wave);
            for (int i = 0; i < chunks; ++i) {
                if (!peer.send(chunk) ||
                    peer.receive(2 * chunk.size()).size() != 2 * chunk.size()) {
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        for (int rounds = 0; rounds < 1000 && !stop; ++rounds) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    bool ok = waitFor([&] { return panel.traffic().history().size() >= 70; }, 90000);
    CStatusDlg status;
    status.repeater = &panel.getRepeater();
    status.traffic = &panel.traffic();
    status.setForwardTitle(panel.forwardTitle());
    status.Create(nullptr);
    status.resize(status.width() + 420, status.height());
    status.show();
    if (auto* window = status.findChild<QComboBox*>()) {
        window->setCurrentIndex(0);
    }
    status.refresh();
    ok &= save(status, output, "status-dialog-graph.png");
    status.hide();
    stop = true;
    client.join();
    panel.saveAndStop();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QtTestSession session(argc, argv);
    const bool english = argc > 2 && std::string(argv[2]) == "en";
    std::optional<UiTranslations> translations;
    if (english) {
        translations.emplace(UiLanguage::English);
    }

    const QDir output(QString::fromLocal8Bit(argc > 1 ? argv[1] : "screenshots"));
    QDir().mkpath(output.path());
    QTemporaryDir scratch;
    const std::string iniPath = QDir(scratch.path()).filePath("TarnwickPico.ini").toStdString();

    QWidget host;
    host.resize(640, 480);
    host.show();
    CSettingDlg settingDlg;
    settingDlg.Create(&host);
    settingDlg.setMainWindow(&host);

    bool ok = true;

    // A panel without a settings file: OFF.
    CPortDlg off;
    off.Create(&host);
    off.setIndex(0);
    off.setSettingsPath(iniPath);
    off.setSettingDlg(&settingDlg);
    off.initPanel();
    off.move(5, 20);
    off.show();
    ok &= save(off, output, "panel-off.png");

    // The settings dialog as the OFF panel opens it, host typed in.
    off.clickControl(IDC_SETTING_BUTTON);
    waitFor([&] { return settingDlg.isVisible(); });
    ok &= save(settingDlg, output, "setting-dialog.png");
    settingDlg.clickControl(IDCANCEL);

    // The options dialog with every group of options set.
    ForwardConfig sample;
    sample.name = english ? "Intranet web (test)" : "社内Web (検証用)";
    sample.listenHost = "127.0.0.1";
    sample.filter.mode = CIpFilter::kAllowDenyLists;
    sample.filter.allowCount = 2;
    sample.filter.allowList[0] = "192.168.1.0/24";
    sample.filter.allowList[1] = "fd00::/8";
    sample.filter.denyCount = 1;
    sample.filter.denyList[0] = "192.168.1.13";
    sample.relay = {true, 10, 300, true};
    sample.log = true;
    sample.moreDestinations = {{"192.168.1.21", 80}, {"2001:db8::22", 80}};
    sample.balance = Balance::RoundRobin;
    sample.proxyProtocol = 2;
    COptionsDlg options(sample);
    options.Create(nullptr);
    options.show();
    ok &= save(options, output, "options-dialog.png");
    options.hide();

    // A panel saved ON, relaying one client to an echo server.
    loopback::Server echo(loopback::echo);
    const int listenPort = loopback::freePort();
    savePortSettings(iniPath, 1, {1, listenPort, "127.0.0.1", echo.port(), 128});
    CPortDlg on;
    on.Create(&host);
    on.setIndex(1);
    on.setSettingsPath(iniPath);
    on.setSettingDlg(&settingDlg);
    on.initPanel();
    on.move(5, 100);
    on.show();

    // Three clients, each echoing a different amount now and again once the list is open.
    constexpr int kClients = 3;
    std::atomic<int> echoed{0};
    std::atomic<bool> second{false};
    std::atomic<bool> release{false};
    std::vector<std::thread> clients;
    for (int i = 1; i <= kClients; ++i) {
        clients.emplace_back([&, i] {
            loopback::Client peer;
            const std::string first(static_cast<std::size_t>(i) * 1000, 'a');
            const std::string more(static_cast<std::size_t>(i) * 50000, 'b');
            bool ok = peer.connectTo(listenPort) && peer.send(first) &&
                      peer.receive(first.size()) == first;
            echoed += ok ? 1 : 0;
            for (int rounds = 0; rounds < 1000 && !second; ++rounds) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (ok && peer.send(more) && peer.receive(more.size()) == more) {
                ++echoed;
            }
            for (int rounds = 0; rounds < 1000 && !release; ++rounds) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ok &= waitFor([&] { return echoed == kClients && on.getConnectionCount() == kClients; });
    ok &= save(on, output, "panel-on.png");

    CStatusDlg status;
    status.repeater = &on.getRepeater();
    status.Create(nullptr);
    status.resize(status.width() + 420, status.height());
    status.show();
    second = true;
    ok &= waitFor([&] { return echoed == 2 * kClients; });
    status.refresh();
    status.list->selectRow(1);
    ok &= save(status, output, "status-dialog.png");
    status.hide();

    release = true;
    for (std::thread& client : clients) {
        client.join();
    }
    ok &= renderGraph(host, output);
    on.saveAndStop();
    off.saveAndStop();
    return ok ? 0 : 1;
}
