#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QStandardPaths>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
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

// Whether held() holds at every look for the whole duration: a window shown and unmapped
// again a moment later must not pass for shown, and only time can tell.
bool stays(const std::function<bool()>& held, std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        if (!held()) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return held();
}

const std::string kTitle = "ターンウィック Pico.";
constexpr std::uint32_t kEscape = 0xff1b;
// Inside the first item of a menu, below its frame.
constexpr int kFirstItemY = 10;
// A shown window is mapped as soon as the X server has the request: the second start has
// already been answered "SHOWN" by then.
constexpr std::chrono::milliseconds kShownWithin{1000};
// Long enough to see a window unmapped again (or shown again) while the program settles.
constexpr std::chrono::milliseconds kStaysShown{250};

// The program on a virtual display with trayer as the notification area, as a user with
// TRAY=1 would run it. Skipped without Xvfb or trayer.
class TrayOnADisplay : public testing::Test {
  protected:
    void SetUp() override {
        const std::string xvfb = QStandardPaths::findExecutable("Xvfb").toStdString();
        const std::string trayer = QStandardPaths::findExecutable("trayer").toStdString();
        if (xvfb.empty() || trayer.empty()) {
            GTEST_SKIP() << "needs Xvfb and trayer (make deps installs them)";
        }
        std::string pattern = std::filesystem::temp_directory_path() / "tarnwick-desk-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        // Xvfb picks a free display itself and names it on the descriptor given.
        server_ = std::make_unique<SpawnedProcess>(
            std::vector<std::string>{xvfb, "-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                                     "1024x768x24"},
            std::vector<std::string>{}, SpawnOptions{{}, {}, folder + "/xvfb.txt"});
        const std::string number = server_->standardOutputUntil("\n", 15s);
        ASSERT_FALSE(number.empty()) << readFile(folder + "/xvfb.txt");
        const std::string display = ":" + number.substr(0, number.find('\n'));
        onDisplay = {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"};
        probe = std::make_unique<XProbe>(display);
        ASSERT_TRUE(probe->connected());
        area_ = std::make_unique<SpawnedProcess>(
            std::vector<std::string>{trayer, "--edge", "top", "--align", "right", "--widthtype",
                                     "pixel", "--width", "120", "--heighttype", "pixel", "--height",
                                     "24"},
            std::vector<std::string>{"DISPLAY=" + display},
            SpawnOptions{{}, {}, folder + "/trayer.txt"});
        ASSERT_TRUE(soon([&] { return probe->selectionOwned("_NET_SYSTEM_TRAY_S0"); }));
    }
    void TearDown() override {
        probe.reset();
        area_.reset();
        server_.reset();
        if (!folder.empty()) {
            std::filesystem::remove_all(folder);
        }
    }

    // The main window as the X server maps it; Qt may make its X window anew when it shows
    // it again.
    std::uint32_t shownWindow() {
        for (std::uint32_t window : probe->windowsNamed(kTitle)) {
            if (probe->viewable(window)) {
                return window;
            }
        }
        return 0;
    }
    std::uint32_t iconInArea() {
        for (std::uint32_t icon : probe->windowsNamed("tarnwick-pico")) {
            if (probe->insideWindowNamed(icon, "panel") && probe->viewable(icon)) {
                return icon;
            }
        }
        return 0;
    }

    std::string folder;
    std::vector<std::string> onDisplay;
    std::unique_ptr<XProbe> probe;

  private:
    std::unique_ptr<SpawnedProcess> server_;
    std::unique_ptr<SpawnedProcess> area_;
};

TEST_F(TrayOnADisplay, IconAppearsClosingHidesAndASecondStartShowsTheWindow) {
    loopback::Server echo(loopback::echo);
    const int port = loopback::freePort();
    const std::string saved =
        "[OPTIONS]\nTRAY=1\n[TCP-PORT0]\nACT=1\nPORT=" + std::to_string(port) +
        "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" + std::to_string(echo.port()) + "\n";
    std::ofstream(folder + "/TarnwickPico.ini") << saved;
    ChildProgram first(folder, ChildProgram::programIn(folder), {"-D503"}, "/", onDisplay);
    ASSERT_TRUE(first.started());

    ASSERT_TRUE(soon([&] { return shownWindow() != 0; }));
    EXPECT_TRUE(soon([&] { return iconInArea() != 0; })) << "no icon in the notification area";

    probe->requestClose(shownWindow());
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
    probe->requestClose(shownWindow());
    EXPECT_TRUE(soon([&] { return shownWindow() == 0; }));
    std::filesystem::remove(folder + "/TarnwickPico.ini");
    std::ofstream(folder + "/TarnwickPico.ini") << "[OPTIONS]\nTRAY=1\n";
    first.signal(SIGTERM);
    const std::optional<int> status = first.waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_EQ(readFile(folder + "/TarnwickPico.ini"), saved);
    EXPECT_FALSE(relays(port));
}

enum class ShowRoute { SecondStart, IconMenu };

class TrayShowCycles : public TrayOnADisplay, public testing::WithParamInterface<ShowRoute> {};

// Hidden with Escape, shown again by a second start or by the icon's "メインウィンドウを
//開く", twenty times over: every show maps the window and gives it the keyboard.
TEST_P(TrayShowCycles, EveryShowMapsTheHiddenWindow) {
    constexpr int kCycles = 20;
    std::ofstream(folder + "/TarnwickPico.ini") << "[OPTIONS]\nTRAY=1\n";
    ChildProgram first(folder, ChildProgram::programIn(folder), {"-D503"}, "/", onDisplay);
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(soon([&] { return iconInArea() != 0; }));
    auto slowest = std::chrono::steady_clock::duration::zero();
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        // Escape reaches the window only once it has the keyboard.
        ASSERT_TRUE(soon([&] {
            const std::uint32_t window = shownWindow();
            return window != 0 && probe->focus() == window;
        })) << "not shown and active, cycle "
            << cycle;
        ASSERT_TRUE(probe->pressKey(kEscape));
        ASSERT_TRUE(soon([&] { return shownWindow() == 0; })) << "not hidden, cycle " << cycle;
        // Hidden stays hidden while the icon holds the window; the program settles meanwhile.
        ASSERT_TRUE(stays([&] { return shownWindow() == 0; }, kStaysShown))
            << "shown by itself, cycle " << cycle;
        if (GetParam() == ShowRoute::SecondStart) {
            const auto asked = std::chrono::steady_clock::now();
            ChildProgram second(folder, ChildProgram::programIn(folder), {}, "/", onDisplay);
            // Status 0 only when the running copy answered within the second start's wait.
            const std::optional<int> status = second.waitForExit(10s);
            slowest = std::max(slowest, std::chrono::steady_clock::now() - asked);
            ASSERT_TRUE(status.has_value()) << "cycle " << cycle;
            ASSERT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
        } else {
            ASSERT_TRUE(probe->click(iconInArea(), 3));
            std::uint32_t menu = 0;
            ASSERT_TRUE(soon([&] { return (menu = probe->popupNamed("tarnwick-pico")) != 0; }))
                << "no menu, cycle " << cycle;
            // "メインウィンドウを開く" is the menu's first item.
            ASSERT_TRUE(probe->click(menu, 1, -1, kFirstItemY));
        }
        ASSERT_TRUE(soon([&] { return shownWindow() != 0; }, kShownWithin))
            << "not mapped, cycle " << cycle;
        ASSERT_TRUE(stays([&] { return shownWindow() != 0; }, kStaysShown))
            << "unmapped again, cycle " << cycle;
    }
    RecordProperty(
        "slowest_second_start_ms",
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()));
    first.signal(SIGTERM);
    const std::optional<int> status = first.waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

INSTANTIATE_TEST_SUITE_P(Routes, TrayShowCycles,
                         testing::Values(ShowRoute::SecondStart, ShowRoute::IconMenu));

}  // namespace
