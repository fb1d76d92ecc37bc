#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QTimer>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/autostart.h"
#include "app/tarnwick_app.h"
#include "app/tarnwick_dlg.h"
#include "app/tray_controller.h"
#include "app/tray_link.h"
#include "panels/port_dlg.h"
#include "panels/setting_dlg.h"
#include "resources/dialog_templates.h"
#include "tests/app/scoped_env.h"
#include "tests/app/wait_until.h"
#include "tests/support/file_text.h"
#include "tests/support/loopback.h"
#include "tests/support/message_recorder.h"

namespace {

using namespace std::chrono_literals;

bool canConnect(int port) {
    const int fd = loopback::connectTo(port, 2s);
    if (fd >= 0) {
        close(fd);
    }
    return fd >= 0;
}

std::string panelSection(int index, int act, int port) {
    return "[TCP-PORT" + std::to_string(index) + "]\nACT=" + std::to_string(act) +
           "\nPORT=" + std::to_string(port) + "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=9\n";
}

// Each test in a folder of its own as current directory and as XDG_CONFIG_HOME, with the
// notification area's presence in the test's hands.
class Tray : public testing::Test {
  protected:
    void SetUp() override {
        std::array<char, 4096> start{};
        ASSERT_NE(getcwd(start.data(), start.size()), nullptr);
        start_ = start.data();
        std::string pattern = std::filesystem::temp_directory_path() / "tarnwick-tray-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        ASSERT_EQ(chdir(folder_.c_str()), 0);
        config_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", folder_.c_str());
    }
    void TearDown() override {
        config_.reset();
        ASSERT_EQ(chdir(start_.c_str()), 0);
        std::filesystem::remove_all(folder_);
    }

    std::filesystem::path iniFile() const { return folder_ / "TarnwickPico.ini"; }
    void save(const std::string& text) const { std::ofstream(iniFile()) << text; }
    void watchTray(CTarnwickDlg& dlg) {
        dlg.setTrayAvailability([this] { return trayThere_; });
        dlg.setTrayMaker(makeTrayController);
    }

    std::string start_;
    std::filesystem::path folder_;
    std::unique_ptr<ScopedEnv> config_;
    bool trayThere_ = true;
    MessageRecorder boxes_;
};

CTrayController* iconOf(const CTarnwickDlg& dlg) {
    return qobject_cast<CTrayController*>(dlg.trayIcon());
}

enum class Route { CloseBox, Escape, SystemClose };

void closeBy(CTarnwickDlg& dlg, Route route) {
    if (route == Route::CloseBox) {
        dlg.close();
    } else if (route == Route::Escape) {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&dlg, &escape);
    } else {
        dlg.OnSysCommand(SC_CLOSE);
    }
}

TEST_F(Tray, ClosingHidesWhileANotificationAreaHoldsTheIconAndTheEndIsOrderly) {
    const int port = loopback::freePort();
    const std::string saved = "[OPTIONS]\nTRAY=1\n\n" + panelSection(0, 1, port);
    save(saved);
    auto dlg = std::make_unique<CTarnwickDlg>();
    watchTray(*dlg);
    bool timedOut = false;
    QTimer::singleShot(0, dlg.get(), [&] {
        for (Route route : {Route::CloseBox, Route::Escape, Route::SystemClose}) {
            closeBy(*dlg, route);
            EXPECT_TRUE(!dlg->isVisible() && dlg->isWindowLive()) << static_cast<int>(route);
            // The dialog's own loop ended with the hide and must run on.
            EXPECT_TRUE(waitUntil([&] { return canConnect(port); }, 3s));
            dlg->sendCommand(ID_OPEN_MAIN_WINDOW);
            EXPECT_TRUE(dlg->isVisible());
        }
        ASSERT_NE(dlg->trayIcon(), nullptr);
        EXPECT_EQ(iconOf(*dlg)->notesShown(), 1);

        // The notification area goes away while the window is hidden: the window returns,
        // and closing now ends the program.
        closeBy(*dlg, Route::CloseBox);
        trayThere_ = false;
        EXPECT_TRUE(waitUntil([&] { return dlg->isVisible(); }, 5s));
        std::filesystem::remove(iniFile());
        save("[OPTIONS]\nTRAY=1\n\n");
        closeBy(*dlg, Route::CloseBox);
    });
    QTimer::singleShot(20000, dlg.get(), [&] {
        timedOut = true;
        dlg->EndDialog(IDCANCEL);
    });
    runMainWindow(*dlg);
    EXPECT_FALSE(timedOut);
    EXPECT_FALSE(dlg->isWindowLive());
    EXPECT_EQ(readFile(iniFile()), saved);
    EXPECT_FALSE(canConnect(port));
}

TEST_F(Tray, WithoutTheSettingOrANotificationAreaClosingEndsAsBefore) {
    struct Case {
        const char* options;
        bool trayThere;
    };
    for (const Case& c :
         {Case{"", true}, Case{"[OPTIONS]\nTRAY=0\n", true}, Case{"[OPTIONS]\nTRAY=1\n", false}}) {
        save(c.options);
        trayThere_ = c.trayThere;
        CTarnwickDlg dlg;
        watchTray(dlg);
        QTimer::singleShot(0, &dlg, [&] { closeBy(dlg, Route::CloseBox); });
        QTimer::singleShot(10000, &dlg, [&] { dlg.EndDialog(IDOK); });
        EXPECT_EQ(runMainWindow(dlg), IDCANCEL) << c.options;
        EXPECT_FALSE(dlg.isWindowLive());
    }
}

TEST_F(Tray, StartsHiddenOnlyWhereSomethingCanBringTheWindowBack) {
    struct Case {
        const char* options;
        bool atLogin;
        bool trayThere;
        bool hidden;
    };
    const Case cases[] = {
        {"TRAY=1\nSTARTHIDDEN=1\n", false, true, true},
        {"TRAY=1\nSTARTHIDDEN=1\n", false, false, false},
        {"TRAY=0\nSTARTHIDDEN=1\n", false, true, false},
        {"TRAY=1\n", true, true, true},
        // At login the notification area may come later; the window waits for it hidden.
        {"TRAY=1\n", true, false, true},
        {"TRAY=0\n", true, true, false},
        {"TRAY=1\n", false, true, false},
    };
    for (const Case& c : cases) {
        const int port = loopback::freePort();
        save(std::string("[OPTIONS]\n") + c.options + panelSection(0, 1, port));
        trayThere_ = c.trayThere;
        CTarnwickDlg dlg;
        watchTray(dlg);
        dlg.setStartedAtLogin(c.atLogin);
        ASSERT_TRUE(dlg.Create(nullptr));
        EXPECT_EQ(dlg.isVisible(), !c.hidden) << c.options << c.atLogin << c.trayThere;
        EXPECT_TRUE(canConnect(port)) << c.options;
    }
}

QStringList menuTexts(const QMenu& menu) {
    QStringList texts;
    for (const QAction* action : menu.actions()) {
        texts << (action->isSeparator()   ? QString("-")
                  : action->isCheckable() ? (action->isChecked() ? "[x] " : "[ ] ") + action->text()
                                          : action->text());
    }
    return texts;
}

QAction* actionNamed(QMenu& menu, const QString& text) {
    for (QAction* action : menu.actions()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

TEST_F(Tray, MenuOpensTheWindowSwitchesEachPanelByItsOwnRulesAndEnds) {
    loopback::Server echo(loopback::echo);
    const int on = loopback::freePort();
    const int off = loopback::freePort();
    save("[OPTIONS]\nTRAY=1\nSTARTHIDDEN=1\n" + panelSection(0, 1, on) +
         "[TCP-PORT1]\nACT=0\nPORT=" + std::to_string(off) +
         "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" + std::to_string(echo.port()) + "\n" +
         panelSection(2, 0, 0));
    const QString first = QString::fromStdString("TCP:" + std::to_string(on) + " → 127.0.0.1:9");
    const QString second = QString::fromStdString("TCP:" + std::to_string(off) +
                                                  " → 127.0.0.1:" + std::to_string(echo.port()));
    auto dlg = std::make_unique<CTarnwickDlg>();
    watchTray(*dlg);
    QTimer::singleShot(0, dlg.get(), [&] {
        ASSERT_NE(dlg->trayIcon(), nullptr);
        QMenu& menu = iconOf(*dlg)->menu();
        EXPECT_EQ(menuTexts(menu),
                  QStringList({QString::fromUtf8("メインウィンドウを開く"), "[x] " + first,
                               "[ ] " + second, "[ ] TCP:0 → 127.0.0.1:9", "-",
                               QString::fromUtf8("終了")}));
        actionNamed(menu, second)->trigger();
        actionNamed(menu, first)->trigger();
        actionNamed(menu, "TCP:0 → 127.0.0.1:9")->trigger();
        EXPECT_TRUE(waitUntil([&] { return canConnect(off) && !canConnect(on); }, 3s));
        EXPECT_TRUE(waitUntil([&] { return !boxes_.shown.empty(); }, 3s));
        Q_EMIT menu.aboutToShow();
        EXPECT_EQ(menuTexts(menu).mid(1, 3),
                  QStringList({"[ ] " + first, "[x] " + second, "[ ] TCP:0 → 127.0.0.1:9"}));

        // The tooltip counts established connections over all panels.
        const int client = loopback::connectTo(off, 2s);
        EXPECT_TRUE(waitUntil(
            [&] { return iconOf(*dlg)->toolTip().endsWith(QString::fromUtf8("接続数 1")); }, 5s));
        EXPECT_TRUE(iconOf(*dlg)->toolTip().startsWith(dlg->windowTitle() + "\n"));
        // One line for the forward that is ON, with its count and rates.
        const QString line =
            QString::fromStdString("\nTCP:" + std::to_string(off) + "  1  ↑0 B/s ↓0 B/s\n");
        EXPECT_TRUE(waitUntil([&] { return iconOf(*dlg)->toolTip().contains(line); }, 5s))
            << iconOf(*dlg)->toolTip().toStdString();
        close(client);

        EXPECT_FALSE(dlg->isVisible());
        actionNamed(menu, QString::fromUtf8("メインウィンドウを開く"))->trigger();
        EXPECT_TRUE(waitUntil([&] { return dlg->isVisible(); }, 3s));
        actionNamed(menu, QString::fromUtf8("終了"))->trigger();
    });
    QTimer::singleShot(20000, dlg.get(), [&] { dlg->EndDialog(IDOK); });
    EXPECT_EQ(runMainWindow(*dlg), IDCANCEL);
    ASSERT_EQ(boxes_.texts().size(), 1u);
    EXPECT_EQ(boxes_.texts()[0], "Listenポートが無効な設定です");
    EXPECT_NE(readFile(iniFile()).find("[TCP-PORT1]\nACT=1\n"), std::string::npos);
}

TEST(TrayToolTip, TakesTheFirstTenForwardLinesBetweenTitleAndCount) {
    std::vector<std::string> lines;
    for (int port = 8001; port <= 8012; ++port) {
        lines.push_back("TCP:" + std::to_string(port) + " web  1  ↑1.5 KiB/s ↓0 B/s");
    }
    const QStringList shown = trayToolTipOf("Pico", lines, 12).split('\n');
    ASSERT_EQ(shown.size(), 12);
    EXPECT_EQ(shown.front(), "Pico");
    EXPECT_EQ(shown[10].toStdString(), "TCP:8010 web  1  ↑1.5 KiB/s ↓0 B/s");
    EXPECT_EQ(shown.back().toStdString(), "接続数 12");
    EXPECT_EQ(trayToolTipOf("Pico", {}, 0).toStdString(), "Pico\n接続数 0");
}

// The icon is told of every change as it happens; nothing asks the panels when its menu
// opens.
TEST_F(Tray, IconFollowsTheForwardsAsTheyChange) {
    save("[OPTIONS]\nTRAY=1\n" + panelSection(0, 0, 81));
    CTarnwickDlg dlg;
    watchTray(dlg);
    ASSERT_TRUE(dlg.Create(nullptr));
    ASSERT_NE(iconOf(dlg), nullptr);
    const QMenu& menu = iconOf(dlg)->menu();
    const auto entries = [&] { return menuTexts(menu).mid(1, menu.actions().size() - 3); };
    EXPECT_EQ(entries(), QStringList({"[ ] TCP:81 → 127.0.0.1:9"}));

    CPortDlg& panel = *dlg.panels().front();
    panel.clickControl(IDC_SETTING_BUTTON);
    dlg.settingDlg()->dlgItem<QLineEdit>(IDC_HOST_EDIT)->setText("192.0.2.7");
    dlg.settingDlg()->clickControl(IDOK);
    EXPECT_EQ(entries(), QStringList({"[ ] TCP:81 → 192.0.2.7:9"}));

    ASSERT_TRUE(dlg.addPanel());
    EXPECT_EQ(entries(), QStringList({"[ ] TCP:81 → 192.0.2.7:9", "[ ] TCP:0 → 127.0.0.1:0"}));
    ASSERT_TRUE(dlg.removePanel(1));
    EXPECT_EQ(entries(), QStringList({"[ ] TCP:81 → 192.0.2.7:9"}));
}

// Opens the window's menu, records what it offers and chooses the item with the text.
QStringList chooseFromWindowMenu(CTarnwickDlg& dlg, const QString& text) {
    QStringList offered;
    QTimer driver;
    int ticks = 0;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu != nullptr) {
            offered = menuTexts(*menu);
            menu->setActiveAction(actionNamed(*menu, text));
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(menu, &enter);
        } else if (++ticks > 1000) {
            driver.stop();
        }
    });
    driver.start(10);
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(2, 2), dlg.mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(&dlg, &click);
    return offered;
}

TEST_F(Tray, WindowMenuSwitchesTheIconAndTheStartAtLogin) {
    const std::string others = "; kept as it is\n" + panelSection(0, 0, 0);
    save(others);
    CTarnwickDlg dlg;
    watchTray(dlg);
    ASSERT_TRUE(dlg.Create(nullptr));
    const QString tray = QString::fromUtf8("通知領域に常駐");
    const QString login = QString::fromUtf8("ログイン時に起動");
    QStringList offered = chooseFromWindowMenu(dlg, tray);
    EXPECT_EQ(offered.mid(1, 3), QStringList({"-", "[ ] " + tray, "[ ] " + login}));
    EXPECT_NE(dlg.trayIcon(), nullptr);
    EXPECT_EQ(readFile(iniFile()), others + "[OPTIONS]\nTRAY=1\n");

    const std::string autostart = folder_ / "autostart/tarnwick-pico.desktop";
    offered = chooseFromWindowMenu(dlg, login);
    EXPECT_EQ(offered.mid(2, 2), QStringList({"[x] " + tray, "[ ] " + login}));
    EXPECT_TRUE(autostartPointsAt(autostart, QApplication::applicationFilePath().toStdString()));

    offered = chooseFromWindowMenu(dlg, tray);
    EXPECT_EQ(offered.mid(2, 2), QStringList({"[x] " + tray, "[x] " + login}));
    EXPECT_EQ(dlg.trayIcon(), nullptr);
    EXPECT_EQ(readFile(iniFile()), others + "[OPTIONS]\nTRAY=0\n");
    chooseFromWindowMenu(dlg, login);
    EXPECT_FALSE(std::filesystem::exists(autostart));
}

}  // namespace
