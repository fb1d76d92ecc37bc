#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QStandardPaths>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "tests/app/child_program.h"
#include "tests/app/x_probe.h"
#include "tests/support/file_text.h"
#include "tests/support/loopback.h"
#include "tests/support/spawned_process.h"

namespace {

using namespace std::chrono_literals;

bool relays(int port) {
    const int fd = loopback::connectTo(port, 3s);
    const bool echoed =
        fd >= 0 && loopback::sendAll(fd, "ping", 4) && loopback::receiveExactly(fd, 4) == "ping";
    if (fd >= 0) {
        close(fd);
    }
    return echoed;
}

// Polls the display until done() holds, for at most the timeout.
bool soon(const std::function<bool()>& done, std::chrono::milliseconds timeout = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

const std::string kTitle = "ターンウィック Pico.";

// The program on a virtual display with trayer as the notification area, as a user with
// TRAY=1 would run it.
TEST(TrayOnADisplay, IconAppearsClosingHidesAndASecondStartShowsTheWindow) {
    const std::string xvfb = QStandardPaths::findExecutable("Xvfb").toStdString();
    const std::string trayer = QStandardPaths::findExecutable("trayer").toStdString();
    if (xvfb.empty() || trayer.empty()) {
        GTEST_SKIP() << "needs Xvfb and trayer (make deps installs them)";
    }
    std::string pattern = std::filesystem::temp_directory_path() / "tarnwick-desk-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string folder = pattern;

    // Xvfb picks a free display itself and names it on the descriptor given.
    SpawnedProcess server(
        {xvfb, "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"},
        std::vector<std::string>{}, SpawnOptions{{}, {}, folder + "/xvfb.txt"});
    const std::string number = server.standardOutputUntil("\n", 15s);
    ASSERT_FALSE(number.empty()) << readFile(folder + "/xvfb.txt");
    const std::string display = ":" + number.substr(0, number.find('\n'));
    XProbe probe(display);
    ASSERT_TRUE(probe.connected());
    SpawnedProcess area({trayer, "--edge", "top", "--align", "right", "--widthtype", "pixel",
                         "--width", "120", "--heighttype", "pixel", "--height", "24"},
                        std::vector<std::string>{"DISPLAY=" + display},
                        SpawnOptions{{}, {}, folder + "/trayer.txt"});
    ASSERT_TRUE(soon([&] { return probe.selectionOwned("_NET_SYSTEM_TRAY_S0"); }));

    loopback::Server echo(loopback::echo);
    const int port = loopback::freePort();
    const std::string saved =
        "[OPTIONS]\nTRAY=1\n[TCP-PORT0]\nACT=1\nPORT=" + std::to_string(port) +
        "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" + std::to_string(echo.port()) + "\n";
    std::ofstream(folder + "/TarnwickPico.ini") << saved;
    const std::vector<std::string> onDisplay{"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"};
    ChildProgram first(folder, ChildProgram::programIn(folder), {"-D503"}, "/", onDisplay);
    ASSERT_TRUE(first.started());

    // Qt may make the window's X window anew when it shows it again.
    const auto shownWindow = [&]() -> std::uint32_t {
        for (std::uint32_t window : probe.windowsNamed(kTitle)) {
            if (probe.viewable(window)) {
                return window;
            }
        }
        return 0;
    };
    ASSERT_TRUE(soon([&] { return shownWindow() != 0; }));
    const auto iconInArea = [&] {
        for (std::uint32_t icon : probe.windowsNamed("tarnwick-pico")) {
            if (probe.insideWindowNamed(icon, "panel") && probe.viewable(icon)) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(soon(iconInArea)) << "no icon in the notification area";

    probe.requestClose(shownWindow());
    EXPECT_TRUE(soon([&] { return shownWindow() == 0; }));
    EXPECT_TRUE(relays(port));
    EXPECT_FALSE(first.waitForExit(0ms).has_value());

    {
        ChildProgram second(folder, ChildProgram::programIn(folder), {}, "/", onDisplay);
        const std::optional<int> status = second.waitForExit(10s);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    }
    EXPECT_TRUE(soon([&] { return shownWindow() != 0; })) << "the window did not come back";
    EXPECT_EQ(readFile(ChildProgram::errorFile(folder)).find("２重起動"), std::string::npos);

    // The orderly end, with the window hidden, saves every section as it was.
    probe.requestClose(shownWindow());
    EXPECT_TRUE(soon([&] { return shownWindow() == 0; }));
    std::filesystem::remove(folder + "/TarnwickPico.ini");
    std::ofstream(folder + "/TarnwickPico.ini") << "[OPTIONS]\nTRAY=1\n";
    first.signal(SIGTERM);
    const std::optional<int> status = first.waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_EQ(readFile(folder + "/TarnwickPico.ini"), saved);
    EXPECT_FALSE(relays(port));
    std::filesystem::remove_all(folder);
}

}  // namespace
