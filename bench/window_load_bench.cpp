// The window thread's share of one core while ten forwards each hold many connections that
// move data and every forward's status dialog is open (list, totals and graph), as the
// program runs them: the repeaters on the socket thread, the panels and dialogs on this one.
// A child process holds the clients and the destination: every client sends 64 bytes a
// second, the destination echoes them.
//
//   window_load_bench [connections per forward] [seconds measured] [0: no status dialogs]

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "panels/port_dlg.h"
#include "panels/setting_dlg.h"
#include "panels/status_dlg.h"
#include "platform/socket_loop_thread.h"
#include "settings/port_settings.h"
#include "tests/support/loopback.h"
#include "tests/support/process_figures.h"
#include "tests/support/qt_test_session.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kForwards = 10;
constexpr std::size_t kChunk = 64;

// Runs the window's event loop for a while as the program does: idle until something comes.
void runFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Echoes whatever arrives on the destination's connections; accepts on the listener.
void runDestination(int listener, Clock::time_point until) {
    const int poll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{EPOLLIN, {.fd = listener}};
    epoll_ctl(poll, EPOLL_CTL_ADD, listener, &event);
    std::array<epoll_event, 256> ready{};
    std::array<char, 4096> buffer{};
    while (Clock::now() < until) {
        const int n = epoll_wait(poll, ready.data(), static_cast<int>(ready.size()), 200);
        for (int i = 0; i < n; ++i) {
            const int fd = ready[static_cast<std::size_t>(i)].data.fd;
            if (fd == listener) {
                for (int accepted; (accepted = accept4(listener, nullptr, nullptr,
                                                       SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                    epoll_event in{EPOLLIN, {.fd = accepted}};
                    epoll_ctl(poll, EPOLL_CTL_ADD, accepted, &in);
                }
                continue;
            }
            const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                close(fd);
                continue;
            }
            send(fd, buffer.data(), static_cast<std::size_t>(got), MSG_NOSIGNAL);
        }
    }
}

// Connects the clients, then sends a chunk on each once a second and drops the echoes.
void runClients(const std::array<int, kForwards>& ports, int perForward, Clock::time_point until) {
    std::vector<int> clients;
    for (int port : ports) {
        for (int i = 0; i < perForward && Clock::now() < until; ++i) {
            int fd = -1;
            for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
                fd = loopback::connectTo(port, std::chrono::seconds(2));
                if (fd < 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            }
            if (fd >= 0) {
                loopback::setNonBlocking(fd);
                clients.push_back(fd);
            }
        }
    }
    const std::string chunk(kChunk, 'x');
    std::array<char, 4096> buffer{};
    for (Clock::time_point next = Clock::now(); Clock::now() < until;
         next += std::chrono::seconds(1)) {
        for (int fd : clients) {
            while (recv(fd, buffer.data(), buffer.size(), 0) > 0) {
            }
            send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        }
        std::this_thread::sleep_until(next + std::chrono::seconds(1));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int perForward = argc > 1 ? std::atoi(argv[1]) : 990;
    const int measured = argc > 2 ? std::atoi(argv[2]) : 30;
    const bool withDialogs = argc > 3 ? std::atoi(argv[3]) != 0 : true;
    figures::setOpenFiles(figures::openFilesHardLimit());
    int destinationPort = 0;
    const int destination = loopback::listenAny(destinationPort, 4096);
    std::array<int, kForwards> ports{};
    for (int& port : ports) {
        port = loopback::freePort();
    }
    // Before any thread or window: the child takes the load's side.
    const Clock::time_point loadEnds = Clock::now() + std::chrono::seconds(measured + 240);
    const pid_t load = fork();
    if (load == 0) {
        loopback::setNonBlocking(destination);
        std::thread echo(runDestination, destination, loadEnds);
        runClients(ports, perForward, loadEnds);
        echo.join();
        _exit(0);
    }
    close(destination);

    QtTestSession session(argc, argv);
    QTemporaryDir scratch;
    const std::string iniPath = QDir(scratch.path()).filePath("TarnwickPico.ini").toStdString();
    for (int i = 0; i < kForwards; ++i) {
        savePortSettings(iniPath, i,
                         {1, ports[static_cast<std::size_t>(i)], "127.0.0.1", destinationPort, 4});
    }
    SocketLoopThread socketThread;
    QWidget host;
    CSettingDlg settingDlg;
    settingDlg.Create(&host);
    std::vector<std::unique_ptr<CPortDlg>> panels;
    for (int i = 0; i < kForwards; ++i) {
        panels.push_back(std::make_unique<CPortDlg>(nullptr, &socketThread));
        panels.back()->Create(&host);
        panels.back()->setIndex(i);
        panels.back()->setSettingsPath(iniPath);
        panels.back()->setSettingDlg(&settingDlg);
        panels.back()->initPanel();
    }
    auto connected = [&] {
        int all = 0;
        for (const auto& panel : panels) {
            all += panel->getConnectionCount();
        }
        return all;
    };
    waitFor([&] { return connected() >= kForwards * perForward; }, 240000);
    std::vector<std::unique_ptr<CStatusDlg>> dialogs;
    for (std::size_t i = 0; withDialogs && i < panels.size(); ++i) {
        const auto& panel = panels[i];
        auto status = std::make_unique<CStatusDlg>();
        status->repeater = &panel->getRepeater();
        status->socketThread = &socketThread;
        status->traffic = &panel->traffic();
        status->Create(nullptr);
        status->show();
        dialogs.push_back(std::move(status));
    }
    // Every dialog has filled its list once; then the steady state is measured.
    runFor(3000);
    const int held = connected();
    const double windowBefore = cpuSeconds(RUSAGE_THREAD);
    const double processBefore = cpuSeconds(RUSAGE_SELF);
    const Clock::time_point start = Clock::now();
    runFor(measured * 1000);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double window = (cpuSeconds(RUSAGE_THREAD) - windowBefore) / wall * 100;
    const double process = (cpuSeconds(RUSAGE_SELF) - processBefore) / wall * 100;
    ForwardTotals first = panels.front()->traffic().totals();
    std::printf("forwards %d, connections held %d (asked %d), status dialogs open %zu\n", kForwards,
                held, kForwards * perForward, dialogs.size());
    std::printf("measured %.1f s: window thread %.2f %% of a core, whole relay process %.2f %%\n",
                wall, window, process);
    std::printf("first forward since ON: up %llu B, down %llu B, served %llu\n",
                static_cast<unsigned long long>(first.bytesUp),
                static_cast<unsigned long long>(first.bytesDown),
                static_cast<unsigned long long>(first.connectionsServed));
    dialogs.clear();
    for (const auto& panel : panels) {
        panel->saveAndStop();
    }
    kill(load, SIGTERM);
    waitpid(load, nullptr, 0);
    return 0;
}
