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
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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
#include "tests/support/loopback.h"
#include "tests/support/message_recorder.h"

namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

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
    dlg->DoModal();
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
    dlg->DoModal();
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
    dlg->DoModal();
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

}  // namespace
