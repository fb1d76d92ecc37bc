#include "app/tarnwick_dlg.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "app/about_dlg.h"
#include "app/console_signals.h"
#include "app/home_page.h"
#include "app/tarnwick_app.h"
#include "panels/port_dlg.h"
#include "panels/setting_dlg.h"
#include "platform/qt/dialog.h"
#include "platform/qt/link_ctrl.h"
#include "platform/qt/message_box.h"
#include "resources/dialog_templates.h"
#include "tests/app/wait_until.h"
#include "tests/support/file_text.h"
#include "tests/support/loopback.h"
#include "tests/support/message_recorder.h"

namespace {

bool canConnect(int port) {
    int fd = loopback::connectTo(port, std::chrono::seconds(2));
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

// Runs each test in a folder of its own as the current directory, with message boxes
// recorded and web addresses recorded instead of opened.
class MainWindow : public testing::Test {
  protected:
    void SetUp() override {
        std::array<char, 4096> start{};
        ASSERT_NE(getcwd(start.data(), start.size()), nullptr);
        start_ = start.data();
        std::string pattern = std::filesystem::temp_directory_path() / "tarnwick-main-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        ASSERT_EQ(chdir(folder_.c_str()), 0);
        setUrlOpener([this](const std::string& url) { opened_.push_back(url); });
    }
    void TearDown() override {
        setUrlOpener({});
        ASSERT_EQ(chdir(start_.c_str()), 0);
        std::filesystem::remove_all(folder_);
    }

    std::filesystem::path iniFile() const { return folder_ / "TarnwickPico.ini"; }

    // A panel saved ON that listens on a free port; returns the port.
    int saveListeningPanel() {
        int port = loopback::freePort();
        std::ofstream(iniFile()) << "[TCP-PORT0]\nACT=1\nPORT=" << port
                                 << "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=9\n";
        return port;
    }

    std::string start_;
    std::filesystem::path folder_;
    MessageRecorder boxes_;
    std::vector<std::string> opened_;
};

// Records the size and place of the window at every show.
class ShowRecorder : public QObject {
  public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            auto* widget = static_cast<QWidget*>(watched);
            shown.push_back(widget->geometry());
        }
        return false;
    }
    std::vector<QRect> shown;
};

TEST_F(MainWindow, FirstShownLaidOutAroundThePanelCentredAndTitled) {
    CTarnwickDlg dlg;
    ShowRecorder recorder;
    dlg.installEventFilter(&recorder);
    ASSERT_TRUE(dlg.Create(nullptr));

    ASSERT_EQ(dlg.panels().size(), 1u);
    const CPortDlg& panel = *dlg.panels().front();
    const QSize panelSize = templateClientSize(dialogTemplate(IDD_PORT_DIALOG));
    EXPECT_EQ(panel.geometry(), QRect(QPoint(5, 20), panelSize));
    EXPECT_TRUE(panel.isVisible());
    EXPECT_EQ(dlg.size(), QSize(panelSize.width() + 10, panelSize.height() + 25));
    EXPECT_EQ(dlg.windowTitle(), QString::fromUtf8("ターンウィック Pico."));

    // The window manager may add its frame once the window is up and shift the client area
    // by the frame's width; the size is never anything but the final one.
    ASSERT_FALSE(recorder.shown.empty());
    EXPECT_EQ(recorder.shown.front().size(), dlg.size()) << "seen before it was laid out";
    const QRect screen = dlg.screen()->availableGeometry();
    EXPECT_LE((recorder.shown.front().center() - screen.center()).manhattanLength(), 2);

    EXPECT_EQ(dlg.iniPath(), (folder_ / "TarnwickPico.ini").string());
    ASSERT_NE(dlg.settingDlg(), nullptr);
    EXPECT_FALSE(dlg.settingDlg()->isVisible());
    EXPECT_EQ(dlg.settingDlg()->parentWidget(), &dlg);
}

TEST_F(MainWindow, NotShownWhileTheFlagIsOff) {
    CTarnwickDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    dlg.setVisible(WindowVisibility::hidden);
    EXPECT_FALSE(dlg.isVisible());
    dlg.show();
    dlg.resize(dlg.size() + QSize(1, 1));
    dlg.move(dlg.pos() + QPoint(3, 3));
    EXPECT_FALSE(dlg.isVisible());
    dlg.sendCommand(ID_OPEN_MAIN_WINDOW);
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(MainWindow, OpenCommandRestoresAMinimisedWindow) {
    CTarnwickDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    dlg.showMinimized();
    ASSERT_TRUE(dlg.isMinimized());
    dlg.sendCommand(ID_OPEN_MAIN_WINDOW);
    EXPECT_FALSE(dlg.isMinimized());
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(MainWindow, SystemMenuGetsSeparatorAndAboutEntry) {
    CTarnwickDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    ASSERT_EQ(dlg.systemMenuItems().size(), 2u);
    EXPECT_EQ(dlg.systemMenuItems()[0].id, 0u);
    EXPECT_EQ(dlg.systemMenuItems()[1].id, 16u);
    EXPECT_EQ(dlg.systemMenuItems()[1].text, "ターンウィック Pico のﾊﾞｰｼﾞｮﾝ情報");
}

// Sends the system command; returns whether an about box ran meanwhile.
bool aboutBoxFor(CTarnwickDlg& dlg, unsigned int id) {
    bool opened = false;
    QTimer probe;
    probe.setSingleShot(true);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (auto* about = dynamic_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
            opened = true;
            about->EndDialog(IDOK);
        }
    });
    probe.start(0);
    dlg.OnSysCommand(id);
    return opened;
}

TEST_F(MainWindow, EverySystemCommandFrom16To31OpensTheAboutBox) {
    CTarnwickDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    for (unsigned int id = 16; id <= 31; ++id) {
        EXPECT_TRUE(aboutBoxFor(dlg, id)) << id;
    }
    for (unsigned int id : {0u, 15u, 32u, 0x0110u, SC_MINIMIZE}) {
        EXPECT_FALSE(aboutBoxFor(dlg, id)) << id;
    }
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(MainWindow, RightClickOverThePanelOffersTheAboutBox) {
    CTarnwickDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    CPortDlg& panel = *dlg.panels().front();
    QStringList offered;
    bool aboutShown = false;
    int ticks = 0;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            for (QAction* action : menu->actions()) {
                offered << (action->isSeparator() ? QString("-") : action->text());
                if (action->data().toUInt() == IDM_ABOUTBOX) {
                    menu->setActiveAction(action);
                }
            }
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(menu, &enter);
        } else if (auto* about = dynamic_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
            aboutShown = true;
            about->EndDialog(IDOK);
        } else if (++ticks > 1000) {
            if (QWidget* popup = QApplication::activePopupWidget()) {
                popup->close();
            }
        }
    });
    driver.start(10);
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10),
                            panel.mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(&panel, &click);
    driver.stop();
    EXPECT_EQ(offered, QStringList({QString::fromUtf8("ポートを追加"), "-",
                                    QString::fromUtf8("ターンウィック Pico のﾊﾞｰｼﾞｮﾝ情報")}));
    EXPECT_TRUE(aboutShown);
}

TEST_F(MainWindow, AboutLinkAndPoweredByLinkOpenTheSamePage) {
    CTarnwickDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    auto* poweredBy = dlg.dlgItem<CLinkCtrl>(IDC_HOMEPAGE_LINK);
    ASSERT_NE(poweredBy, nullptr);
    EXPECT_NE(poweredBy->text().indexOf("Powered By Mistrelsoft"), -1);
    poweredBy->click();

    CAboutDlg about(&dlg);
    QTimer::singleShot(0, &about, [&] {
        if (auto* link = about.dlgItem<CLinkCtrl>(IDC_HOMEPAGE_LINK)) {
            link->click();
        }
        about.EndDialog(IDOK);
    });
    about.DoModal();
    ASSERT_EQ(opened_.size(), 2u);
    EXPECT_EQ(opened_[0], kHomePageUrl);
    EXPECT_EQ(opened_[1], kHomePageUrl);
}

enum class CloseRoute { CloseBox, Escape, SystemClose, ExitCommand, ShutdownEvent };

void PrintTo(CloseRoute route, std::ostream* out) {
    constexpr const char* kNames[] = {"CloseBox", "Escape", "SystemClose", "ExitCommand",
                                      "ShutdownEvent"};
    *out << kNames[static_cast<int>(route)];
}

class MainWindowClose : public MainWindow, public testing::WithParamInterface<CloseRoute> {};

TEST_P(MainWindowClose, SavesAndStopsThePanelBeforeTheRunReturns) {
    const int port = saveListeningPanel();
    auto dlg = std::make_unique<CTarnwickDlg>();
    bool listening = false;
    bool hiddenFirst = false;
    bool timedOut = false;
    QTimer::singleShot(0, dlg.get(), [&] {
        listening = canConnect(port);
        // The last save must be the one at the end: the file goes, the shutdown writes it.
        std::filesystem::remove(iniFile());
        for (unsigned long ignored :
             {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT}) {
            dlg->onConsoleCtrl(ignored);
        }
        switch (GetParam()) {
            case CloseRoute::CloseBox:
                dlg->close();
                break;
            case CloseRoute::Escape: {
                QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QApplication::sendEvent(dlg.get(), &escape);
                break;
            }
            case CloseRoute::SystemClose:
                dlg->OnSysCommand(SC_CLOSE);
                break;
            case CloseRoute::ExitCommand:
                dlg->sendCommand(ID_EXIT);
                hiddenFirst = !dlg->isVisible() && dlg->isWindowLive();
                break;
            case CloseRoute::ShutdownEvent:
                EXPECT_EQ(dlg->onConsoleCtrl(CTRL_SHUTDOWN_EVENT), 1);
                break;
        }
    });
    QTimer::singleShot(10000, dlg.get(), [&] {
        timedOut = true;
        dlg->EndDialog(IDCANCEL);
    });
    runMainWindow(*dlg);
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(listening);
    EXPECT_FALSE(dlg->isWindowLive());
    EXPECT_TRUE(dlg->panels().empty());
    EXPECT_EQ(dlg->settingDlg(), nullptr);
    EXPECT_EQ(readFile(iniFile()), "[TCP-PORT0]\nACT=1\nPORT=" + std::to_string(port) +
                                       "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=9\n");
    EXPECT_FALSE(canConnect(port));
    if (GetParam() == CloseRoute::ExitCommand) {
        EXPECT_TRUE(hiddenFirst);
    }
    // The window is gone: a late shutdown event must not reach it.
    EXPECT_EQ(dlg->onConsoleCtrl(CTRL_SHUTDOWN_EVENT), 1);
}

INSTANTIATE_TEST_SUITE_P(Routes, MainWindowClose,
                         testing::Values(CloseRoute::CloseBox, CloseRoute::Escape,
                                         CloseRoute::SystemClose, CloseRoute::ExitCommand,
                                         CloseRoute::ShutdownEvent));

TEST_F(MainWindow, ShutdownDuringStartEndsTheRunAsSoonAsItStarts) {
    // Saved ON without a listen port: the panel refuses with a box while the window starts.
    std::ofstream(iniFile()) << "[TCP-PORT0]\nACT=1\nPORT=0\nFORWARDHOST=h\nFORWARDPORT=80\n";
    // A shutdown event arrives while the box is open.
    MessageRecorder boxes;
    auto dlg = std::make_unique<CTarnwickDlg>();
    boxes.whileOpen = [&] { dlg->onConsoleCtrl(CTRL_SHUTDOWN_EVENT); };
    bool timedOut = false;
    QTimer::singleShot(10000, dlg.get(), [&] {
        timedOut = true;
        dlg->EndDialog(IDCANCEL);
    });
    runMainWindow(*dlg);
    EXPECT_FALSE(timedOut);
    ASSERT_EQ(boxes.texts().size(), 1u);
    EXPECT_EQ(boxes.texts()[0], "Listenポートが無効な設定です");
    EXPECT_EQ(readFile(iniFile()), "[TCP-PORT0]\nACT=0\nPORT=0\nFORWARDHOST=h\nFORWARDPORT=80\n");
}

enum class OpenWindow { MessageBox, AboutBox, StatusDialog, SettingsDialog };

class ShutdownOver : public MainWindow, public testing::WithParamInterface<OpenWindow> {};

// With a display (the real boxes, not the recorder): a shutdown ends whatever window is
// open as with Cancel, then the main window in order, within a second.
TEST_P(ShutdownOver, EveryOpenWindowEndsThenTheMainWindowSaves) {
    installMessageBoxService(nullptr);
    loopback::Server echo(loopback::echo);
    const int port = loopback::freePort();
    const int act = GetParam() == OpenWindow::SettingsDialog ? 0 : 1;
    std::ofstream(iniFile()) << "[TCP-PORT0]\nACT=" << act << "\nPORT=" << port
                             << "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" << echo.port() << "\n";
    auto dlg = std::make_unique<CTarnwickDlg>();
    int client = -1;
    QTimer::singleShot(0, dlg.get(), [&] {
        CPortDlg& panel = *dlg->panels().front();
        switch (GetParam()) {
            case OpenWindow::MessageBox:
                panel.clickControl(IDC_SETTING_BUTTON);  // refused while ON
                break;
            case OpenWindow::AboutBox:
                dlg->OnSysCommand(IDM_ABOUTBOX);
                break;
            case OpenWindow::StatusDialog:
                client = loopback::connectTo(port);
                waitUntil([&] { return panel.getConnectionCount() == 1; });
                panel.clickControl(IDC_STATUS_BUTTON);
                break;
            case OpenWindow::SettingsDialog:
                panel.clickControl(IDC_SETTING_BUTTON);
                break;
        }
    });
    bool wasOpen = false;
    QElapsedTimer sinceShutdown;
    QTimer::singleShot(300, dlg.get(), [&] {
        wasOpen = QApplication::activeModalWidget() != dlg.get() || dlg->settingDlg()->isVisible();
        std::filesystem::remove(iniFile());
        sinceShutdown.start();
        dlg->onConsoleCtrl(CTRL_SHUTDOWN_EVENT);
    });
    bool timedOut = false;
    QTimer::singleShot(10000, dlg.get(), [&] {
        timedOut = true;
        cancelOtherWindows(nullptr);
    });
    runMainWindow(*dlg);
    EXPECT_LT(sinceShutdown.elapsed(), 1000);
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(wasOpen);
    EXPECT_TRUE(std::filesystem::exists(iniFile()));
    for (QWidget* window : QApplication::topLevelWidgets()) {
        EXPECT_FALSE(window->isVisible()) << window->metaObject()->className();
    }
    if (client >= 0) {
        close(client);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ShutdownOver,
                         testing::Values(OpenWindow::MessageBox, OpenWindow::AboutBox,
                                         OpenWindow::StatusDialog, OpenWindow::SettingsDialog));

TEST_F(MainWindow, EnterNeverPressesAButtonOfTheSettingsDialog) {
    std::ofstream(iniFile()) << "[TCP-PORT0]\nACT=0\nPORT=81\nFORWARDHOST=h\nFORWARDPORT=80\n";
    CTarnwickDlg dlg;
    dlg.Create(nullptr);
    dlg.panels().front()->clickControl(IDC_SETTING_BUTTON);
    ASSERT_TRUE(dlg.settingDlg()->isVisible());
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
        QKeyEvent enter(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&dlg, &enter);
    }
    EXPECT_TRUE(dlg.settingDlg()->isVisible());
    EXPECT_TRUE(dlg.settingDlg()->isAttached());
    dlg.settingDlg()->clickControl(IDCANCEL);
}

// While the settings are edited in the window, a reload changes nothing; afterwards a removed
// section takes its panel along and the window writes nothing back into the file.
TEST_F(MainWindow, AReloadWaitsForTheSettingsDialogAndFollowsRemovedSections) {
    const std::string two =
        "[TCP-PORT0]\nACT=0\nPORT=81\nFORWARDHOST=h\nFORWARDPORT=80\n"
        "[TCP-PORT1]\nACT=0\nPORT=82\nFORWARDHOST=h\nFORWARDPORT=80\n";
    std::ofstream(iniFile()) << two;
    CTarnwickDlg dlg;
    dlg.Create(nullptr);
    ASSERT_EQ(dlg.panels().size(), 2u);
    const std::string one = "[TCP-PORT0]\nACT=0\nPORT=91\nFORWARDHOST=h2\nFORWARDPORT=90\n";
    std::ofstream(iniFile()) << one;
    dlg.panels().front()->clickControl(IDC_SETTING_BUTTON);
    std::vector<std::string> problems;
    EXPECT_FALSE(dlg.reloadSettings(problems));
    EXPECT_EQ(problems, std::vector<std::string>{"the settings are being edited"});
    EXPECT_EQ(dlg.panels().size(), 2u);
    dlg.settingDlg()->clickControl(IDCANCEL);

    problems.clear();
    EXPECT_TRUE(dlg.reloadSettings(problems)) << problems.front();
    ASSERT_EQ(dlg.panels().size(), 1u);
    EXPECT_EQ(dlg.panels().front()->getListenPort(), 91);
    EXPECT_EQ(dlg.panels().front()->getForwardHost(), "h2");
    dlg.endProgram();
    dlg.finish();
    EXPECT_EQ(readFile(iniFile()), one);
}

TEST_F(MainWindow, NoSettingsFileStartsOffAndCreatesIt) {
    {
        CTarnwickDlg dlg;
        ASSERT_TRUE(dlg.Create(nullptr));
        EXPECT_EQ(dlg.panels().front()->getSwitchState(), 0);
    }
    EXPECT_EQ(readFile(iniFile()),
              "[TCP-PORT0]\nACT=0\nPORT=0\nFORWARDHOST=127.0.0.1\nFORWARDPORT=0\n");
    EXPECT_TRUE(boxes_.shown.empty());
}

namespace multi {

// Right-clicks target and returns the menu's entries ("-" a separator, "(off)" appended when
// disabled); the entry whose text is chosen is triggered, otherwise the menu closes.
QStringList rightClick(QWidget& target, const QString& chosen = {}) {
    QStringList offered;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) {
            return;
        }
        offered.clear();
        QAction* pick = nullptr;
        for (QAction* action : menu->actions()) {
            offered << (action->isSeparator()
                            ? QString("-")
                            : action->text() + (action->isEnabled() ? "" : "(off)"));
            if (!action->isSeparator() && action->text() == chosen && action->isEnabled()) {
                pick = action;
            }
        }
        if (pick != nullptr) {
            menu->setActiveAction(pick);
        }
        QKeyEvent key(QEvent::KeyPress, pick != nullptr ? Qt::Key_Return : Qt::Key_Escape,
                      Qt::NoModifier);
        QApplication::sendEvent(menu, &key);
    });
    driver.start(10);
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10),
                            target.mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(&target, &click);
    QCoreApplication::processEvents();  // a removal runs once the panel's event is over
    return offered;
}

const QString kAdd = QString::fromUtf8("ポートを追加");
const QString kRemove = QString::fromUtf8("このポートを削除");
const QString kAbout = QString::fromUtf8("ターンウィック Pico のﾊﾞｰｼﾞｮﾝ情報");

// Where panel k of n sits and how large the window's client area is.
QRect panelPlace(int k, QSize panel) {
    const int x = k < 5 ? 5 : panel.width() + 10;
    return {QPoint(x, 20 + (k % 5) * (panel.height() + 5)), panel};
}
QSize windowSize(int n, QSize panel) {
    if (n <= 5) {
        return {panel.width() + 10, n * (panel.height() + 5) + 20};
    }
    return {2 * panel.width() + 20, 5 * panel.height() + 45};
}

void expectLaidOut(const CTarnwickDlg& dlg, int n) {
    const QSize panel = templateClientSize(dialogTemplate(IDD_PORT_DIALOG));
    ASSERT_EQ(dlg.panels().size(), static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
        EXPECT_EQ(dlg.panels()[static_cast<std::size_t>(k)]->geometry(), panelPlace(k, panel))
            << "panel " << k << " of " << n;
    }
    EXPECT_EQ(dlg.size(), windowSize(n, panel)) << n << " panels";
}

}  // namespace multi

struct PanelFile {
    const char* name;
    int sections;  // saved ON, each towards its own destination
    int gapAt;     // a section index left out, or -1
    int panels;
};

class MainWindowPanels : public MainWindow, public testing::WithParamInterface<PanelFile> {};

TEST_P(MainWindowPanels, EverySectionBecomesAPanelLaidOutListeningToItsOwnDestination) {
    const PanelFile& file = GetParam();
    std::vector<std::unique_ptr<loopback::Server>> destinations;
    std::vector<int> ports;
    std::ofstream ini(iniFile());
    for (int i = 0; i < file.sections; ++i) {
        const char tag = static_cast<char>('a' + i);
        destinations.push_back(
            std::make_unique<loopback::Server>([tag](int fd) { loopback::sendAll(fd, &tag, 1); }));
        const int port = loopback::freePort();
        ports.push_back(port);
        if (i != file.gapAt) {
            ini << "[TCP-PORT" << i << "]\nACT=1\nPORT=" << port
                << "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=" << destinations.back()->port() << "\n";
        }
    }
    ini.close();

    CTarnwickDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    multi::expectLaidOut(dlg, file.panels);

    // The relays run on this thread; the clients on their own.
    std::vector<std::string> received(ports.size());
    std::atomic<bool> done{false};
    std::thread clients([&] {
        for (std::size_t i = 0; i < ports.size(); ++i) {
            const int fd = loopback::connectTo(ports[i], std::chrono::seconds(3));
            if (fd >= 0) {
                received[i] = loopback::receiveUntilClosed(fd);
                close(fd);
            }
        }
        done = true;
    });
    waitUntil([&] { return done.load(); }, std::chrono::seconds(30));
    clients.join();
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const bool panel = static_cast<int>(i) < file.panels && static_cast<int>(i) != file.gapAt;
        EXPECT_EQ(received[i], panel ? std::string(1, static_cast<char>('a' + i)) : "")
            << "section " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, MainWindowPanels,
                         testing::Values(PanelFile{"One", 1, -1, 1}, PanelFile{"Two", 2, -1, 2},
                                         PanelFile{"Three", 3, -1, 3}, PanelFile{"Five", 5, -1, 5},
                                         PanelFile{"Six", 6, -1, 6}, PanelFile{"Ten", 10, -1, 10},
                                         PanelFile{"EleventhIgnored", 11, -1, 10},
                                         PanelFile{"GapEndsTheList", 4, 2, 2}),
                         [](const testing::TestParamInfo<PanelFile>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(MainWindow, PanelsAreAddedFromTheWindowsMenuAndRemovedFromTheirOwn) {
    const std::string on = "[TCP-PORT2]\nACT=1\nPORT=" + std::to_string(loopback::freePort()) +
                           "\nFORWARDHOST=127.0.0.1\nFORWARDPORT=9\n";
    std::ofstream(iniFile()) << "[TCP-PORT0]\nACT=0\nPORT=81\nFORWARDHOST=h\nFORWARDPORT=80\n"
                             << "[TCP-PORT1]\nACT=0\nPORT=82\nFORWARDHOST=h\nFORWARDPORT=80\n"
                             << on;
    const std::string onAsPanel1 = "[TCP-PORT1]" + on.substr(on.find('\n'));
    CTarnwickDlg dlg;
    ASSERT_TRUE(dlg.Create(nullptr));
    const QPoint topLeft = dlg.pos();
    auto panel = [&](int k) -> CPortDlg& { return *dlg.panels()[static_cast<std::size_t>(k)]; };

    // The settings dialog is shared: open for one panel, refused to the others.
    panel(0).clickControl(IDC_SETTING_BUTTON);
    panel(1).clickControl(IDC_SETTING_BUTTON);
    EXPECT_EQ(boxes_.texts(), std::vector<std::string>{"現在PORTの設定中です"});
    EXPECT_TRUE(dlg.settingDlg()->isAttachedTo(&panel(0)));

    // An ON panel cannot go.
    EXPECT_EQ(multi::rightClick(panel(2)),
              QStringList({multi::kRemove + "(off)", "-", multi::kAdd, "-", multi::kAbout}));

    // Removal asks with the panel's listen port; No keeps everything.
    boxes_.answers = {IDNO};
    EXPECT_EQ(multi::rightClick(panel(1), multi::kRemove),
              QStringList({multi::kRemove, "-", multi::kAdd, "-", multi::kAbout}));
    ASSERT_EQ(boxes_.shown.size(), 2u);
    EXPECT_EQ(boxes_.shown[1].text, "TCP:82 の設定を削除しますか?");
    EXPECT_EQ(boxes_.shown[1].type, MB_YESNO | MB_ICONQUESTION);
    multi::expectLaidOut(dlg, 3);

    // Yes: the panels after it move up, in the window and in the file.
    multi::rightClick(panel(1), multi::kRemove);
    multi::expectLaidOut(dlg, 2);
    EXPECT_EQ(dlg.pos(), topLeft);
    EXPECT_EQ(readFile(iniFile()),
              "[TCP-PORT0]\nACT=0\nPORT=81\nFORWARDHOST=h\nFORWARDPORT=80\n" + onAsPanel1);

    // The panel with the settings dialog open takes it with it.
    multi::rightClick(panel(0), multi::kRemove);
    EXPECT_FALSE(dlg.settingDlg()->isAttached());
    EXPECT_FALSE(dlg.settingDlg()->isVisible());
    EXPECT_EQ(panel(0).getSwitchState(), 1);

    // The only panel cannot go; adding writes the new section at once.
    EXPECT_EQ(multi::rightClick(panel(0), multi::kAdd),
              QStringList({multi::kAdd, "-", multi::kAbout}));
    multi::expectLaidOut(dlg, 2);
    EXPECT_EQ(readFile(iniFile()),
              "[TCP-PORT0]" + on.substr(on.find('\n')) +
                  "[TCP-PORT1]\nACT=0\nPORT=0\nFORWARDHOST=127.0.0.1\nFORWARDPORT=0\n");

    // Ten at most.
    while (dlg.addPanel()) {
    }
    multi::expectLaidOut(dlg, 10);
    EXPECT_EQ(multi::rightClick(dlg), QStringList({multi::kAdd + "(off)", "-", multi::kAbout}));
    EXPECT_EQ(dlg.pos(), topLeft);
}

}  // namespace
