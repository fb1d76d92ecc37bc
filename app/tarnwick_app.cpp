#include "app/tarnwick_app.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_icon.h"
#include "app/argument_scan.h"
#include "app/autostart.h"
#include "app/console_signals.h"
#include "app/debug_console.h"
#include "app/executable_dir.h"
#include "app/instance_guard.h"
#include "app/show_request.h"
#include "app/tarnwick_dlg.h"
#include "app/tray_link.h"
#include "app/ui_language.h"
#include "platform/descriptor_limit.h"
#include "platform/qt/dialog.h"
#include "platform/qt/message_box.h"
#include "platform/qt/ui_text.h"
#include "platform/socket_event_loop.h"
#include "platform/socket_loop_thread.h"
#include "platform/trace.h"
#include "resources/string_table.h"

int g_debugMode = 0;

namespace {

void reopenOnNullDevice(int fd, int flags) {
    int null = open("/dev/null", flags | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, fd);
        close(null);
    }
}

bool hasArgument(int argc, char** argv, const char* wanted) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && std::strcmp(argv[i], wanted) == 0) {
            return true;
        }
    }
    return false;
}

// A second start first asks the running copy to show its window, which may be hidden in
// the notification area; nobody could see a window shown without a display.
bool runningCopyShowedItsWindow(const std::string& guardName) {
    constexpr std::chrono::milliseconds kAnswerTimeout{1000};
    return !platformHasNoDisplay() &&
           askRunningCopyToShow(instanceSocketPath(guardName), kAnswerTimeout);
}

}  // namespace

void reloadOnHangUp(CTarnwickDlg& window) {
    std::vector<std::string> problems;
    const bool done = window.reloadSettings(problems);
    TRACE("SIGHUP: settings reloaded%s\n", done ? "" : " in part");
    for (const std::string& problem : problems) {
        TRACE("SIGHUP: %s\n", problem.c_str());
    }
}

int runMainWindow(CTarnwickDlg& window) {
    QApplication::setQuitOnLastWindowClosed(false);
    bool looping = false;
    const QMetaObject::Connection stop =
        QObject::connect(&window, &CTarnwickDlg::ending, &window, [&looping](int result) {
            if (looping) {
                QCoreApplication::exit(result);
            }
        });
    window.Create(nullptr);
    if (window.life() < WindowLife::Ending) {
        looping = true;
        QApplication::exec();
        looping = false;
    }
    QObject::disconnect(stop);
    window.finish();
    return window.result();
}

CTarnwickApp::CTarnwickApp() : answeredWithoutDisplay_(answersWithoutDisplay()) {
    // The program lives as long as the main window's modal run; a message box closed while
    // no other window shows (a refusal during start) must not stop the loops.
    QApplication::setQuitOnLastWindowClosed(false);
    installAppIconLoader();
    QApplication::setWindowIcon(loadAppIcon());
    // Qt's own buttons and menus read Japanese beside the program's texts until the start
    // has read which language the user wants.
    translations_ = std::make_unique<UiTranslations>(UiLanguage::Japanese);
}

CTarnwickApp::~CTarnwickApp() {
    setAnswerWithoutDisplay(answeredWithoutDisplay_);
    translations_.reset();
    consoleSignals_.reset();
    socketThread_.reset();
    console_.reset();
}

bool CTarnwickApp::startSockets() {
    socketThread_ = std::make_unique<SocketLoopThread>();
    if (!socketThread_->isOpen()) {
        socketThread_.reset();
        return false;
    }
    return true;
}

void CTarnwickApp::redirectStandardStreams() {
    std::fflush(stdout);
    if (g_debugMode != 0) {
        console_ = std::make_unique<CDebugConsole>(QApplication::applicationFilePath());
        console_->attachDescriptor(STDOUT_FILENO);
        reopenOnNullDevice(STDIN_FILENO, O_RDONLY);
        console_->show();
        consoleSignals_ = std::make_unique<CConsoleSignals>([this](unsigned long event) {
            if (mainDlg_ != nullptr && event == CTRL_CLOSE_EVENT) {
                // SIGHUP: the settings file is read again; the program goes on.
                reloadOnHangUp(*mainDlg_);
                return 1;
            }
            return mainDlg_ != nullptr ? mainDlg_->onConsoleCtrl(event) : 1;
        });
        consoleSignals_->install();
    } else {
        reopenOnNullDevice(STDOUT_FILENO, O_WRONLY);
        reopenOnNullDevice(STDIN_FILENO, O_RDONLY);
        // Ended by a signal as before, without saving, but no connection is cut off
        // silently: each gets the stop's grace and then a clean end or a reset.
        consoleSignals_ = std::make_unique<CConsoleSignals>(
            [this](int signal) {
                stopRelayingNow();
                CConsoleSignals::dieOf(signal);
            },
            std::vector<int>{SIGTERM, SIGINT});
        consoleSignals_->install();
    }
    updateTraceForStandardOutput();
}

void CTarnwickApp::stopRelayingNow() {
    // One second for every port together, as when the window ends.
    const auto graceEnds = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    runOnSocketLoop(socketThread_.get(), [graceEnds] {
        if (SocketEventLoop* loop = SocketEventLoop::current()) {
            loop->stopAll(graceEnds);
        }
    });
}

void CTarnwickApp::announceStart(const char* programPath) {
    std::printf("********** Start TARNWICK DEBUG MODE  *******\n");
    if (g_debugMode != 0) {
        std::printf("DEBUG_MODE ON\n");
    }
    enterExecutableDirectory(programPath);
}

std::unique_ptr<CShowRequestServer> CTarnwickApp::listenForShowRequests(
    const std::string& guardName, CTarnwickDlg& window) {
    auto server = std::make_unique<CShowRequestServer>(
        [&window] { window.showWindow(); },
        [&window](const std::string& line) {
            return encodeControlReply(window.answerControl(line));
        });
    std::string problem;
    if (!server->listen(instanceSocketPath(guardName), &problem)) {
        // The program runs as before; a second start then shows its box.
        std::fprintf(stderr,
                     "%s: %s; a second start cannot show this window, nor can the command "
                     "line reach it\n",
                     applicationTitle().c_str(), problem.c_str());
        return nullptr;
    }
    return server;
}

int CTarnwickApp::InitInstance(int argc, char** argv) {
    setAnswerWithoutDisplay(platformHasNoDisplay());
    // Before the first box: even the refusals at start speak the user's language.
    const UiLanguage language = chooseUiLanguage(settingsFileFor(argc > 0 ? argv[0] : ""));
    if (language != translations_->language()) {
        translations_.reset();
        translations_ = std::make_unique<UiTranslations>(language);
    }
    // A login's soft limit of 1,024 descriptors would hold about 500 connections; the relay
    // takes whatever the hard limit allows, before it makes a single socket.
    const DescriptorLimit limit = raiseDescriptorLimit();
    if (!startSockets()) {
        AfxMessageBox(
            uiText(kResourceContext, loadResourceString(IDP_SOCKETS_INIT_FAILED)).toStdString(),
            MB_OK);
        return 0;
    }

    const std::string guardName = instanceGuardName();
    std::string guardProblem;
    const InstanceGuardResult guard = acquireInstanceGuard(guardName, &guardProblem);
    switch (guard) {
        case InstanceGuardResult::Failed:
            // Refusing here would stop every start for good; one unguarded copy is the
            // lesser harm.
            std::fprintf(stderr, "%s: %s; starting without the single-instance guard\n",
                         applicationTitle().c_str(), guardProblem.c_str());
            break;
        case InstanceGuardResult::AlreadyRunning:
            if (runningCopyShowedItsWindow(guardName)) {
                return 0;
            }
            MessageBoxA(nullptr, uiString("Program", "     既に起動されています.     "),
                        uiString("Program", "２重起動"), MB_OK);
            return -1;
        case InstanceGuardResult::Owned:
            break;
    }

    if (scanArguments(argc, argv, stdout)) {
        g_debugMode = 1;
    }

    redirectStandardStreams();
    announceStart(argc > 0 ? argv[0] : "");
    if (limit.error != 0) {
        // Written once the trace has its place; the program goes on with the limit it has.
        TRACE("Error:CTarnwickApp::InitInstance()-setrlimit() err=%d soft=%ld hard=%ld\n",
              limit.error, limit.soft, limit.hard);
    }

    CTarnwickDlg mainDlg(nullptr, socketThread_.get());
    mainDlg.setStartedAtLogin(hasArgument(argc, argv, kAutostartArgument));
    mainDlg.setUiLanguage(language);
    mainDlg.setTrayMaker(makeTrayController);
    std::unique_ptr<CShowRequestServer> showRequests;
    // Headless too: the command line controls a copy without a window as well.
    if (guard == InstanceGuardResult::Owned) {
        showRequests = listenForShowRequests(guardName, mainDlg);
    }
    mainDlg_ = &mainDlg;
    runMainWindow(mainDlg);
    showRequests.reset();
    mainDlg_ = nullptr;
    std::fflush(stdout);
    return 0;
}
