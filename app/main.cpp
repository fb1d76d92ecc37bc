#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <vector>

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

}  // namespace

int main(int argc, char** argv) {
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
