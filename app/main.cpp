#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/control_client.h"
#include "app/instance_guard.h"
#include "app/tarnwick_app.h"

namespace {

// Descriptors 0 to 2 closed at start would be taken by the first files and pipes the
// program opens, and output meant for standard output would land in them.
void keepStandardDescriptorsOpen() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }
    }
}

constexpr const char* kUsage =
    "Usage: tarnwick-pico [-D503]\n"
    "       tarnwick-pico --autostart [-D503]\n"
    "       tarnwick-pico --list [--json] | --on FORWARD | --off FORWARD | --reload\n"
    "       tarnwick-pico --help | --version\n"
    "\n"
    "Relays local TCP ports, up to ten, each to its own destination host and port.\n"
    "Without a display the window stays off screen and every port saved ON still relays.\n"
    "\n"
    "  -D503      open the debug console; SIGTERM then closes the window in order\n"
    "             and saves the settings\n"
    "  --autostart\n"
    "             started at login: with TRAY=1 in [OPTIONS] the window starts\n"
    "             hidden in the notification area\n"
    "  --list     print the running copy's forwards, one per line: panel, TCP:<port>\n"
    "             or UDP:<port>, name, ON/OFF, destination, connections, bytes up\n"
    "             and down since ON (tab-separated); with --json one JSON object\n"
    "  --on FORWARD, --off FORWARD\n"
    "             switch a forward of the running copy as its switch does; FORWARD\n"
    "             is a listen port, tcp:<port>, udp:<port> or a NAME\n"
    "  --reload   make the running copy read its settings file again; connections\n"
    "             are kept (see tarnwick-pico(1)); with -D503 SIGHUP does the same\n"
    "             These exit 0 when done, 1 when refused or not fully done, 2 when\n"
    "             no copy runs; they never start a relay or write the settings.\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Settings: TarnwickPico.ini beside the program when it is there or the program's\n"
    "folder is writable, otherwise in $XDG_CONFIG_HOME/tarnwick-pico/\n"
    "(~/.config/tarnwick-pico/). See tarnwick-pico(1).\n";

// "--help" or "--version" alone is answered before anything else starts: no window, no
// lock, no file. True when it was.
bool answeredInformationRequest(int argc, char** argv) {
    if (argc != 2) {
        return false;
    }
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::fputs("tarnwick-pico " TARNWICK_VERSION "\n", stdout);
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (answeredInformationRequest(argc, argv)) {
        return std::fflush(stdout) == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
    }
    std::string usageError;
    if (const auto request = controlRequestFromArguments(argc, argv, usageError)) {
        const int status =
            runControlRequest(instanceSocketPath(instanceGuardName()), *request, stdout, stderr);
        return std::fflush(stdout) == 0 ? status : EXIT_FAILURE;
    }
    if (!usageError.empty()) {
        std::fprintf(stderr, "tarnwick-pico: %s\n", usageError.c_str());
        return EXIT_FAILURE;
    }
    keepStandardDescriptorsOpen();
    // Without a display the window lives off screen, and a port saved ON still relays.
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr &&
        std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    // Qt takes its own options out of the vector it is given; the argument scan must see
    // every argument as it was passed.
    std::vector<char*> qtArguments(argv, argv + argc);
    qtArguments.push_back(nullptr);
    int qtArgc = argc;
    QApplication application(qtArgc, qtArguments.data());

    CTarnwickApp tarnwick;
    int result = tarnwick.InitInstance(argc, argv);
    return result == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
