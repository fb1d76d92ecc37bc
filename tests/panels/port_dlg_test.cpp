#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QCheckBox>
#include <QGroupBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <atomic>
#include <thread>

#include "panel_fixture.h"
#include "platform/private_profile.h"
#include "platform/qt/spin_button_ctrl.h"
#include "relay/tcp_repeater.h"
#include "tests/support/loopback.h"
#include "tests/support/test_forward.h"
#include "tests/support/udp_peer.h"

namespace {

constexpr unsigned kWarningOk = MB_OK | MB_ICONWARNING;

// Records every count the repeater reports, in order.
class CountingPanel : public CPortDlg {
  public:
    using CPortDlg::CPortDlg;
    void notifyConnectionCount(int count) override {
        reported.push_back(count);
        CPortDlg::notifyConnectionCount(count);
    }
    std::vector<int> reported;
};

QColor backgroundOf(QWidget& widget) {
    // Bottom-left corner: below and beside the top-aligned, right-aligned text.
    const QImage image = widget.grab().toImage();
    return image.pixelColor(1, image.height() - 2);
}

INSTANTIATE_TEST_SUITE_P(UiOrSocketThread, PanelOnEitherThreadTest, ::testing::Bool());

TEST_P(PanelOnEitherThreadTest, FileSavedOnStartsListeningAtInit) {
    const int port = loopback::freePort();
    saveFile(1, port, "192.0.2.10", 80);

    makePanel();

    EXPECT_TRUE(switchPressed());
    EXPECT_EQ(panelText(IDC_SWITCH), "ON");
    EXPECT_EQ(panelText(IDC_LISTEN_FRAME), "TCP:" + std::to_string(port));
    EXPECT_EQ(panelText(IDC_COUNT_TEXT), "0");
    EXPECT_EQ(panelText(IDC_FORWARD_HOST_TEXT), "192.0.2.10");
    EXPECT_EQ(panelText(IDC_FORWARD_PORT_TEXT), "80");
    EXPECT_TRUE(repeaterListening());
    EXPECT_EQ(repeaterPort(), static_cast<unsigned>(port));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PanelTest, NoFileShowsOffAndWritesTheDefaults) {
    makePanel();

    EXPECT_FALSE(switchPressed());
    EXPECT_EQ(panelText(IDC_SWITCH), "OFF");
    EXPECT_EQ(panelText(IDC_LISTEN_FRAME), "TCP:0");
    EXPECT_EQ(panelText(IDC_COUNT_TEXT), "0");
    EXPECT_EQ(panelText(IDC_FORWARD_HOST_TEXT), "127.0.0.1");
    EXPECT_EQ(panelText(IDC_FORWARD_PORT_TEXT), "0");
    EXPECT_FALSE(panel->getRepeater().isListening());
    EXPECT_TRUE(boxes.shown.empty());
    const std::string text = fileText();
    const auto act = text.find("ACT=0");
    const auto port = text.find("PORT=0");
    const auto host = text.find("FORWARDHOST=127.0.0.1");
    const auto forward = text.find("FORWARDPORT=0");
    ASSERT_NE(forward, std::string::npos);
    EXPECT_LT(act, port);
    EXPECT_LT(port, host);
    EXPECT_LT(host, forward);
}

struct Refusal {
    int port;
    int forwardPort;
    const char* message;
};

class RefusalTest : public PanelTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusalTest, SavedOnIsRefusedAtInitAndTheFileKeepsIt) {
    saveFile(1, GetParam().port, "127.0.0.1", GetParam().forwardPort);

    makePanel();

    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, GetParam().message);
    EXPECT_EQ(boxes.shown[0].caption, applicationTitle());
    EXPECT_EQ(boxes.shown[0].type, kWarningOk);
    EXPECT_FALSE(switchPressed());
    EXPECT_EQ(panelText(IDC_SWITCH), "OFF");
    EXPECT_EQ(panel->getSwitchState(), 0);
    EXPECT_FALSE(panel->getRepeater().isListening());
    EXPECT_EQ(fileSettings().act, 1);
}

TEST_P(RefusalTest, PressingTheSwitchIsRefusedWithoutWritingTheFile) {
    saveFile(0, GetParam().port, "127.0.0.1", GetParam().forwardPort);
    makePanel();
    removeFile();

    panel->clickControl(IDC_SWITCH);

    EXPECT_EQ(boxes.texts(), std::vector<std::string>{GetParam().message});
    EXPECT_FALSE(switchPressed());
    EXPECT_EQ(panelText(IDC_SWITCH), "OFF");
    EXPECT_FALSE(panel->getRepeater().isListening());
    EXPECT_FALSE(fileExists());
}

INSTANTIATE_TEST_SUITE_P(Ports, RefusalTest,
                         ::testing::Values(Refusal{0, 80, "Listenポートが無効な設定です"},
                                           Refusal{0, 0, "Listenポートが無効な設定です"},
                                           Refusal{8080, 0, "転送先ポート番号が無効な設定です"}));

TEST_F(PanelTest, OnWithAnEmptyHostIsSavedButOpensNothing) {
    saveFile(0, loopback::freePort(), "", 80);
    makePanel();

    panel->clickControl(IDC_SWITCH);

    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(switchPressed());
    EXPECT_EQ(panelText(IDC_SWITCH), "ON");
    EXPECT_EQ(panelText(IDC_FORWARD_HOST_TEXT), "");
    EXPECT_FALSE(panel->getRepeater().isListening());
    EXPECT_EQ(fileSettings().act, 1);
    EXPECT_EQ(fileSettings().forwardHost, "");
    EXPECT_EQ(panel->getConnectionCount(), 0);
}

TEST_P(PanelOnEitherThreadTest, SwitchingOffAndOnAgainStopsAndRestartsTheListener) {
    const int port = loopback::freePort();
    saveFile(1, port, "127.0.0.1", 80);
    makePanel();
    ASSERT_TRUE(repeaterListening());

    panel->clickControl(IDC_SWITCH);
    EXPECT_EQ(panelText(IDC_SWITCH), "OFF");
    EXPECT_FALSE(repeaterListening());
    EXPECT_EQ(fileSettings().act, 0);

    panel->clickControl(IDC_SWITCH);
    EXPECT_EQ(panelText(IDC_SWITCH), "ON");
    EXPECT_TRUE(repeaterListening());
    EXPECT_EQ(fileSettings().act, 1);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PanelTest, SettingsButtonIsRefusedWhileOn) {
    saveFile(1, loopback::freePort(), "127.0.0.1", 80);
    makePanel();

    panel->clickControl(IDC_SETTING_BUTTON);

    EXPECT_EQ(boxes.texts(), std::vector<std::string>{"PORTを使用中です。OFF状態で設定して下さい"});
    EXPECT_EQ(boxes.shown[0].type, kWarningOk);
    EXPECT_FALSE(settingDlg->isVisible());
    EXPECT_FALSE(settingDlg->isAttached());
}

TEST_F(PanelTest, SettingsButtonIsRefusedWhileTheDialogIsOpen) {
    saveFile(0, 8080, "192.0.2.10", 80);
    makePanel();

    panel->clickControl(IDC_SETTING_BUTTON);
    ASSERT_TRUE(settingDlg->isVisible());
    EXPECT_TRUE(settingDlg->isAttached());
    EXPECT_TRUE(boxes.shown.empty());

    panel->clickControl(IDC_SETTING_BUTTON);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>{"現在PORTの設定中です"});
    EXPECT_TRUE(settingDlg->isVisible());
}

TEST_F(PanelTest, SettingsDialogOpensWithThePanelsValuesCentredOnTheMainWindow) {
    saveFile(0, 8080, "192.0.2.10", 80);
    makePanel();
    host->move(200, 150);

    panel->clickControl(IDC_SETTING_BUTTON);

    EXPECT_EQ(settingEdit(IDC_LISTEN_PORT_EDIT)->text(), "8080");
    EXPECT_EQ(settingEdit(IDC_HOST_EDIT)->text(), "192.0.2.10");
    EXPECT_EQ(settingEdit(IDC_FORWARD_PORT_EDIT)->text(), "80");
    EXPECT_TRUE(settingEdit(IDC_HOST_EDIT)->isEnabled());
    EXPECT_FALSE(settingDlg->dlgItem<QCheckBox>(IDC_LOCALHOST_CHECK)->isChecked());
    int lower = -1;
    int upper = -1;
    settingDlg->dlgItem<CSpinButtonCtrl>(IDC_LISTEN_PORT_SPIN)->GetRange32(lower, upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 65535);
    const QPoint offset = settingDlg->geometry().center() - host->geometry().center();
    EXPECT_LE(offset.manhattanLength(), 1) << offset.x() << "," << offset.y();
}

TEST_P(PanelOnEitherThreadTest, OkWhileOnChangesCaptionAndFileButNotTheRunningListener) {
    const int oldPort = loopback::freePort();
    saveFile(0, oldPort, "127.0.0.1", 80);
    makePanel();
    panel->clickControl(IDC_SETTING_BUTTON);
    panel->clickControl(IDC_SWITCH);
    ASSERT_TRUE(repeaterListening());

    const int newPort = oldPort == 65535 ? 1 : oldPort + 1;
    settingEdit(IDC_LISTEN_PORT_EDIT)->setText(QString::number(newPort));
    settingEdit(IDC_HOST_EDIT)->setText("192.0.2.7");
    settingDlg->clickControl(IDOK);

    EXPECT_FALSE(settingDlg->isVisible());
    EXPECT_FALSE(settingDlg->isAttached());
    EXPECT_EQ(panelText(IDC_LISTEN_FRAME), "TCP:" + std::to_string(newPort));
    EXPECT_EQ(panelText(IDC_FORWARD_HOST_TEXT), "192.0.2.7");
    EXPECT_EQ(panelText(IDC_SWITCH), "ON");
    EXPECT_EQ(fileSettings().port, newPort);
    EXPECT_EQ(fileSettings().act, 1);
    EXPECT_EQ(repeaterPort(), static_cast<unsigned>(oldPort));
}

TEST_F(PanelTest, OkHandsOverAnEmptyHost) {
    saveFile(0, 8080, "192.0.2.10", 80);
    makePanel();
    panel->clickControl(IDC_SETTING_BUTTON);

    settingEdit(IDC_HOST_EDIT)->clear();
    settingDlg->clickControl(IDOK);

    EXPECT_EQ(panelText(IDC_FORWARD_HOST_TEXT), "");
    EXPECT_EQ(panel->getForwardHost(), "");
    EXPECT_EQ(fileSettings().forwardHost, "");
}

TEST_F(PanelTest, EscapeAndTheCloseBoxChangeNothing) {
    saveFile(0, 8080, "192.0.2.10", 80);
    makePanel();
    const std::string before = fileText();

    for (const bool escape : {true, false}) {
        panel->clickControl(IDC_SETTING_BUTTON);
        ASSERT_TRUE(settingDlg->isVisible());
        settingEdit(IDC_LISTEN_PORT_EDIT)->setText("9090");
        settingEdit(IDC_HOST_EDIT)->setText("192.0.2.99");
        settingEdit(IDC_FORWARD_PORT_EDIT)->setText("99");
        if (escape) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(settingEdit(IDC_HOST_EDIT), &press);
        } else {
            settingDlg->close();
        }

        EXPECT_FALSE(settingDlg->isVisible()) << (escape ? "escape" : "close box");
        EXPECT_FALSE(settingDlg->isAttached());
        EXPECT_EQ(panelText(IDC_LISTEN_FRAME), "TCP:8080");
        EXPECT_EQ(panelText(IDC_FORWARD_HOST_TEXT), "192.0.2.10");
        EXPECT_EQ(panelText(IDC_FORWARD_PORT_TEXT), "80");
        EXPECT_EQ(fileText(), before);
    }
}

TEST_F(PanelTest, EnterInTheDialogMeansOk) {
    saveFile(0, 8080, "192.0.2.10", 80);
    makePanel();
    panel->clickControl(IDC_SETTING_BUTTON);
    settingEdit(IDC_FORWARD_PORT_EDIT)->setText("81");

    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(settingEdit(IDC_FORWARD_PORT_EDIT), &press);

    EXPECT_FALSE(settingDlg->isVisible());
    EXPECT_EQ(panelText(IDC_FORWARD_PORT_TEXT), "81");
    EXPECT_EQ(fileSettings().forwardPort, 81);
}

TEST_F(PanelTest, PortOutOfRangeTypedKeepsTheLastValidPosition) {
    saveFile(0, 8080, "192.0.2.10", 80);
    makePanel();

    // Typed over the value it had on opening.
    panel->clickControl(IDC_SETTING_BUTTON);
    settingEdit(IDC_LISTEN_PORT_EDIT)->setText("70000");
    settingEdit(IDC_FORWARD_PORT_EDIT)->setText("8x");
    settingDlg->clickControl(IDOK);
    EXPECT_EQ(panel->getListenPort(), 8080);
    EXPECT_EQ(panel->getForwardPort(), 80);
    EXPECT_EQ(panelText(IDC_LISTEN_FRAME), "TCP:8080");
    EXPECT_EQ(fileSettings().port, 8080);

    // Typed over the value reached with the arrows.
    panel->clickControl(IDC_SETTING_BUTTON);
    settingDlg->dlgItem<CSpinButtonCtrl>(IDC_LISTEN_PORT_SPIN)->step(1);
    settingDlg->dlgItem<CSpinButtonCtrl>(IDC_LISTEN_PORT_SPIN)->step(1);
    EXPECT_EQ(settingEdit(IDC_LISTEN_PORT_EDIT)->text(), "8082");
    settingEdit(IDC_LISTEN_PORT_EDIT)->setText("70000");
    settingDlg->clickControl(IDOK);
    EXPECT_EQ(panel->getListenPort(), 8082);
    EXPECT_EQ(panelText(IDC_LISTEN_FRAME), "TCP:8082");
}

TEST_P(PanelOnEitherThreadTest, CountShowsItsColourWithARelayedConnection) {
    loopback::Server echo(loopback::echo);
    const int port = loopback::freePort();
    saveFile(1, port, "127.0.0.1", echo.port());
    makePanel();
    auto& count = *panel->dlgItem<QLabel>(IDC_COUNT_TEXT);
    EXPECT_EQ(backgroundOf(count), CPortDlg::kValueColor);
    EXPECT_EQ(backgroundOf(*panel->dlgItem<QWidget>(IDC_FORWARD_HOST_TEXT)), CPortDlg::kValueColor);

    std::atomic<bool> echoed{false};
    std::atomic<bool> release{false};
    std::thread client([&] {
        loopback::Client peer;
        echoed = peer.connectTo(port) && peer.send("ping") && peer.receive(4) == "ping";
        for (int rounds = 0; rounds < 500 && !release; ++rounds) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    EXPECT_TRUE(waitFor([&] { return echoed && panel->getConnectionCount() == 1; }));
    // The count is shown at most 20 times a second.
    EXPECT_TRUE(waitFor([&] { return panelText(IDC_COUNT_TEXT) == "1"; }));
    EXPECT_EQ(backgroundOf(count), CPortDlg::kConnectedColor);

    release = true;
    client.join();
    EXPECT_TRUE(waitFor([&] { return panel->getConnectionCount() == 0; }));
    EXPECT_TRUE(waitFor([&] { return panelText(IDC_COUNT_TEXT) == "0"; }));
    EXPECT_TRUE(waitFor([&] { return backgroundOf(count) == CPortDlg::kValueColor; }));
}

// PROTOCOL=UDP: the panel says so, relays datagrams and counts sessions; a TCP port of the
// same number may be ON beside it.
TEST_P(PanelOnEitherThreadTest, AUdpPortRelaysDatagramsBesideATcpPortOfTheSameNumber) {
    udp::EchoServer echo;
    const int port = loopback::freePort();
    saveFile(1, port, "127.0.0.1", echo.port());
    WritePrivateProfileStringA("TCP-PORT0", "PROTOCOL", "udp", iniPath.c_str());
    makePanel();
    EXPECT_EQ(panelText(IDC_LISTEN_FRAME), "UDP:" + std::to_string(port));
    EXPECT_TRUE(switchPressed());

    CTcpRepeater tcp;
    runOnSocketLoop(socketThread.get(), [&] {
        tcp.configure(testForward(port, "127.0.0.1", echo.port()));
        EXPECT_TRUE(tcp.start());
    });
    std::atomic<bool> echoed{false};
    std::thread client([&] {
        const int fd = udp::bindAt("127.0.0.1");
        std::string answer;
        echoed = udp::sendTo(fd, "127.0.0.1", port, "datagram") && udp::receive(fd, answer) &&
                 answer == "datagram";
        close(fd);
    });
    EXPECT_TRUE(waitFor([&] { return echoed && panel->getConnectionCount() == 1; }));
    client.join();
    runOnSocketLoop(socketThread.get(), [&] { tcp.stop(); });
    panel->clickControl(IDC_SWITCH);
    EXPECT_TRUE(waitFor([&] { return panel->getConnectionCount() == 0; }));
    EXPECT_NE(fileText().find("PROTOCOL=udp"), std::string::npos);
}

TEST_F(PanelTest, PanelAndPlainLabelsTakeTheBackgroundColour) {
    makePanel();
    const QImage image = panel->grab().toImage();
    // Between the two frames, below the buttons' row: nothing but the panel's background.
    const QWidget* frame = panel->dlgItem<QWidget>(IDC_LISTEN_FRAME);
    EXPECT_EQ(image.pixelColor(frame->geometry().right() + 2, image.height() - 4),
              CPortDlg::kBackgroundColor);
}

TEST_F(PanelTest, SwitchingOffClosesEveryLiveConnection) {
    loopback::Server echo(loopback::echo);
    const int port = loopback::freePort();
    saveFile(1, port, "127.0.0.1", echo.port());
    auto& counting = makePanel<CountingPanel>();

    constexpr int kClients = 3;
    std::atomic<int> echoed{0};
    std::atomic<int> closed{0};
    std::atomic<bool> switchedOff{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&] {
            loopback::Client peer;
            if (peer.connectTo(port) && peer.send("abc") && peer.receive(3) == "abc") {
                ++echoed;
            }
            for (int rounds = 0; rounds < 500 && !switchedOff; ++rounds) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (peer.waitClosed()) {
                ++closed;
            }
        });
    }
    ASSERT_TRUE(waitFor([&] { return echoed == kClients && panel->getConnectionCount() == 3; }));
    counting.reported.clear();

    panel->clickControl(IDC_SWITCH);
    switchedOff = true;

    EXPECT_EQ(counting.reported, (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(panelText(IDC_COUNT_TEXT), "0");
    EXPECT_EQ(panelText(IDC_SWITCH), "OFF");
    EXPECT_FALSE(panel->getRepeater().isListening());
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(closed, kClients);
}

TEST_P(PanelOnEitherThreadTest, RelayKeepsRelayingWhileAMessageBoxIsOpen) {
    loopback::Server echo(loopback::echo);
    const int port = loopback::freePort();
    saveFile(1, port, "127.0.0.1", echo.port());
    makePanel();

    std::atomic<bool> done{false};
    std::string received;
    std::atomic<bool> countInside{false};
    boxes.whileOpen = [&] {
        std::thread client([&] {
            loopback::Client peer;
            if (peer.connectTo(port) && peer.send(std::string(100000, 'x'))) {
                received = peer.receive(100000);
            }
            // Stay connected until the panel has shown the connection.
            for (int rounds = 0; rounds < 500 && !countInside; ++rounds) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            done = true;
        });
        // The box's own loop: only Qt's event loop runs here, nothing of the test.
        QEventLoop nested;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &nested, [&] {
            if (panel->getConnectionCount() == 1) {
                countInside = true;
            }
            if (done) {
                nested.quit();
            }
        });
        poll.start(5);
        QTimer::singleShot(10000, &nested, &QEventLoop::quit);
        nested.exec();
        client.join();
    };

    panel->clickControl(IDC_SETTING_BUTTON);

    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(received, std::string(100000, 'x'));
    EXPECT_TRUE(countInside);
}

TEST_P(PanelOnEitherThreadTest, SaveAndStopWritesTheSwitchStateAndStops) {
    const int port = loopback::freePort();
    saveFile(1, port, "127.0.0.1", 80);
    makePanel();
    removeFile();

    panel->saveAndStop();

    EXPECT_FALSE(repeaterListening());
    EXPECT_EQ(fileSettings().act, 1);
    EXPECT_EQ(fileSettings().port, port);
}

}  // namespace

namespace {

// Whether a and b share pixels, a group box and a control inside it aside.
bool overlap(const QWidget& a, const QWidget& b) {
    const QRect ra = a.geometry();
    const QRect rb = b.geometry();
    const bool frame = dynamic_cast<const QGroupBox*>(&a) || dynamic_cast<const QGroupBox*>(&b);
    return ra.intersects(rb) && !(frame && (ra.contains(rb) || rb.contains(ra)));
}

}  // namespace

TEST_F(PanelTest, LongHostStaysInItsFieldAndTheSwitchTakesItsClicks) {
    for (const std::size_t length : {std::size_t{60}, std::size_t{260}}) {
        std::string host = "very-long-destination-host-name.internal.example.com";
        while (host.size() < length) {
            host.insert(0, "sub.");
        }
        host.resize(length);
        saveFile(0, 2147483647, host, -2147483647);
        makePanel();
        SCOPED_TRACE(length);
        const std::vector<BuiltControl>& all = panel->controls().all();
        for (std::size_t i = 0; i < all.size(); ++i) {
            EXPECT_TRUE(panel->rect().contains(all[i].widget->geometry())) << all[i].id;
            for (std::size_t j = i + 1; j < all.size(); ++j) {
                EXPECT_FALSE(overlap(*all[i].widget, *all[j].widget))
                    << all[i].id << " over " << all[j].id;
            }
        }
        auto* hostLabel = panel->dlgItem<QLabel>(IDC_FORWARD_HOST_TEXT);
        EXPECT_TRUE(hostLabel->text().endsWith(QStringLiteral("…")));
        EXPECT_TRUE(hostLabel->text().startsWith(QStringLiteral("sub.")));
        EXPECT_EQ(hostLabel->toolTip().toStdString(), host);
        EXPECT_EQ(panelText(IDC_FORWARD_HOST_TEXT), host);

        QWidget* toggle = panel->GetDlgItem(IDC_SWITCH);
        EXPECT_EQ(panel->childAt(toggle->geometry().center()), toggle);
    }
}

TEST_F(PanelTest, HostThatIsNotUtf8IsKeptByteForByteUnlessEdited) {
    const std::string host = "h\xff\xfe-\x82\xa0.example";
    saveFile(0, 8080, host, 80);
    makePanel();
    EXPECT_EQ(fileSettings().forwardHost, host);
    panel->clickControl(IDC_SWITCH);
    panel->clickControl(IDC_SWITCH);
    EXPECT_EQ(fileSettings().forwardHost, host);

    // Through the settings dialog untouched, then typed anew.
    panel->clickControl(IDC_SETTING_BUTTON);
    settingDlg->clickControl(IDOK);
    EXPECT_EQ(fileSettings().forwardHost, host);
    panel->clickControl(IDC_SETTING_BUTTON);
    settingDlg->dlgItem<QLineEdit>(IDC_HOST_EDIT)->setText(QStringLiteral("relay.example"));
    settingDlg->clickControl(IDOK);
    EXPECT_EQ(fileSettings().forwardHost, "relay.example");
}

namespace {

// Another program's listener on every address, at an ephemeral port.
struct BusyPort {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    BusyPort() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd, 1);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~BusyPort() { close(fd); }
};

TEST_P(PanelOnEitherThreadTest, APortThatCannotListenIsShownAndSavedOff) {
    for (bool atStart : {true, false}) {
        SCOPED_TRACE(atStart ? "saved ON" : "switched ON");
        BusyPort busy;
        ASSERT_GT(busy.port, 0);
        boxes.shown.clear();
        saveFile(atStart ? 1 : 0, busy.port, "127.0.0.1", 80);
        makePanel();
        if (!atStart) {
            panel->clickControl(IDC_SWITCH);
        }

        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text,
                  "PORT" + std::to_string(busy.port) + "を開けません (err=10048)");
        EXPECT_EQ(boxes.shown[0].caption, applicationTitle());
        EXPECT_EQ(boxes.shown[0].type, kWarningOk);
        EXPECT_FALSE(switchPressed());
        EXPECT_EQ(panelText(IDC_SWITCH), "OFF");
        EXPECT_FALSE(repeaterListening());
        EXPECT_EQ(fileSettings().act, 0);
    }
}

}  // namespace
