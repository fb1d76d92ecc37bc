// LISTENHOST, FILTER, ALLOW and DENY from the settings file, through a panel and its repeater.
// Clients bound to 127.0.0.2 and 127.0.0.3 reach the relay as peers of those addresses.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <QCheckBox>
#include <QComboBox>

#include "panel_fixture.h"
#include "panels/options_dlg.h"
#include "platform/private_profile.h"
#include "tests/support/loopback.h"

namespace {

// A blocking client from a chosen loopback address; -1 when the connect fails.
int connectFrom(const char* source, const char* target, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    loopback::setTimeouts(fd, std::chrono::seconds(5));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, source, &address.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        inet_pton(AF_INET, target, &address.sin_addr);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            return fd;
        }
    }
    close(fd);
    return -1;
}

enum class Outcome { Relayed, Closed, NotConnected, Other };

// Runs one client on its own thread while the panel's loop runs here.
Outcome tryClient(const char* source, const char* target, int port) {
    std::atomic<bool> done{false};
    Outcome outcome = Outcome::Other;
    std::thread client([&] {
        const int fd = connectFrom(source, target, port);
        if (fd < 0) {
            outcome = Outcome::NotConnected;
        } else if (loopback::sendAll(fd, "ping", 4) && loopback::receiveExactly(fd, 4) == "ping") {
            outcome = Outcome::Relayed;
        } else if (loopback::waitClosed(fd)) {
            outcome = Outcome::Closed;
        }
        if (fd >= 0) {
            close(fd);
        }
        done = true;
    });
    waitFor([&] { return done.load(); }, 10000);
    client.join();
    return outcome;
}

class ListenFilterTest : public PanelTest {
  protected:
    void start(const std::vector<std::pair<const char*, const char*>>& keys) {
        saveFile(1, port, "127.0.0.1", echo.port());
        for (const auto& [key, value] : keys) {
            WritePrivateProfileStringA("TCP-PORT0", key, value, iniPath.c_str());
        }
        makePanel();
        ASSERT_TRUE(panel->getRepeater().isListening());
    }

    loopback::Server echo{loopback::echo};
    int port = loopback::freePort();
};

TEST_F(ListenFilterTest, ListenHostListensOnThatAddressOnly) {
    start({{"LISTENHOST", "127.0.0.1"}});
    EXPECT_EQ(tryClient("127.0.0.1", "127.0.0.1", port), Outcome::Relayed);
    EXPECT_EQ(tryClient("127.0.0.1", "127.0.0.2", port), Outcome::NotConnected);
    EXPECT_NE(fileText().find("LISTENHOST=127.0.0.1\n"), std::string::npos);
}

TEST_F(ListenFilterTest, DenyOverridesAllowAndARefusedClientNeverReachesTheDestination) {
    start({{"FILTER", "3"}, {"ALLOW", "127.0.0.0/8"}, {"DENY", " 127.0.0.3 "}});
    EXPECT_EQ(tryClient("127.0.0.2", "127.0.0.1", port), Outcome::Relayed);
    ASSERT_TRUE(waitFor([&] { return echo.accepted() == 1 && panel->getConnectionCount() == 0; }));

    EXPECT_EQ(tryClient("127.0.0.3", "127.0.0.1", port), Outcome::Closed);
    // The refusal happens before any outgoing connect is begun.
    EXPECT_EQ(echo.accepted(), 1);
    EXPECT_EQ(panel->getConnectionCount(), 0);
}

TEST_F(ListenFilterTest, LoopbackModeAdmitsOnly127001UntilTheFileChanges) {
    start({{"FILTER", "1"}, {"HALFCLOSE", "1"}, {"IDLETIMEOUT", "90000"}, {"LOG", "1"}});
    EXPECT_EQ(tryClient("127.0.0.1", "127.0.0.1", port), Outcome::Relayed);
    EXPECT_EQ(tryClient("127.0.0.2", "127.0.0.1", port), Outcome::Closed);
    const ForwardConfig& config = panel->getForwardConfig();
    EXPECT_TRUE(config.relay.halfClose);
    EXPECT_EQ(config.relay.idleTimeoutSeconds, 86400);
    EXPECT_TRUE(config.log);

    // The file is read again at the next switch ON; switching off wrote the log beside it.
    panel->clickControl(IDC_SWITCH);
    QFile log(QDir(scratch.path()).filePath("TarnwickPico.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString logged = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(logged.contains("\topen\t127.0.0.1:") && logged.contains("\trefused\t127.0.0.2:"))
        << logged.toStdString();
    WritePrivateProfileStringA("TCP-PORT0", "FILTER", "0", iniPath.c_str());
    panel->clickControl(IDC_SWITCH);
    ASSERT_TRUE(panel->getRepeater().isListening());
    EXPECT_EQ(tryClient("127.0.0.2", "127.0.0.1", port), Outcome::Relayed);
    EXPECT_TRUE(boxes.shown.empty());
}

// Settings made in the options dialog reach the relay at the next switch ON, on either thread.
class OptionsFromTheDialogTest : public PanelOnEitherThreadTest {
  protected:
    void setUpInDialog(const std::function<void(COptionsDlg&)>& edit) {
        saveFile(0, port, "127.0.0.1", echo.port());
        makePanel();
        panel->clickControl(IDC_SETTING_BUTTON);
        ASSERT_TRUE(inModal<COptionsDlg>([&] { settingDlg->clickControl(IDC_OPTIONS_BUTTON); },
                                         [&](COptionsDlg& dialog) {
                                             edit(dialog);
                                             dialog.clickControl(IDOK);
                                         }));
        settingDlg->clickControl(IDCANCEL);
        panel->clickControl(IDC_SWITCH);
        ASSERT_TRUE(repeaterListening());
    }

    loopback::Server echo{loopback::echo};
    int port = loopback::freePort();
};

INSTANTIATE_TEST_SUITE_P(UiOrSocketThread, OptionsFromTheDialogTest, ::testing::Bool());

TEST_P(OptionsFromTheDialogTest, ListenAddressAndFilterNameAndLog) {
    setUpInDialog([](COptionsDlg& dialog) {
        dialog.SetDlgItemText(IDC_NAME_EDIT, "lab");
        dialog.dlgItem<QComboBox>(IDC_LISTEN_HOST_COMBO)->setCurrentText("127.0.0.1");
        dialog.dlgItem<QComboBox>(IDC_FILTER_COMBO)->setCurrentIndex(CIpFilter::kAllowDenyLists);
        dialog.SetDlgItemText(IDC_ALLOW_EDIT, "127.0.0.0/8");
        // A rule in the IPv4-mapped form is taken and means its IPv4 address.
        dialog.SetDlgItemText(IDC_DENY_EDIT, "127.0.0.2, ::ffff:127.0.0.4");
        dialog.dlgItem<QCheckBox>(IDC_LOG_CHECK)->setChecked(true);
    });
    EXPECT_EQ(tryClient("127.0.0.1", "127.0.0.1", port), Outcome::Relayed);
    EXPECT_EQ(tryClient("127.0.0.2", "127.0.0.1", port), Outcome::Closed);
    EXPECT_EQ(tryClient("127.0.0.4", "127.0.0.1", port), Outcome::Closed);
    EXPECT_EQ(tryClient("127.0.0.1", "127.0.0.3", port), Outcome::NotConnected);
    panel->clickControl(IDC_SWITCH);
    QFile log(QDir(scratch.path()).filePath("TarnwickPico.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << lines.join('\n').toStdString();
    for (const QString& line : lines) {
        EXPECT_TRUE(line.endsWith("\tlab")) << line.toStdString();
    }
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_P(OptionsFromTheDialogTest, HalfCloseAndBufferSize) {
    setUpInDialog([](COptionsDlg& dialog) {
        dialog.dlgItem<QCheckBox>(IDC_HALF_CLOSE_CHECK)->setChecked(true);
        dialog.SetDlgItemText(IDC_BUFFER_SIZE_EDIT, "4");
    });
    EXPECT_EQ(panel->getForwardConfig().bufferSizeKb, 4);
    // The client ends its side first; the echo of what it sent still comes back.
    const std::string sent(64 * 1024, 'h');
    std::atomic<bool> done{false};
    std::string received;
    std::thread client([&] {
        const int fd = loopback::connectTo(port);
        if (fd >= 0 && loopback::sendAll(fd, sent.data(), sent.size())) {
            shutdown(fd, SHUT_WR);
            received = loopback::receiveUntilClosed(fd);
        }
        if (fd >= 0) {
            close(fd);
        }
        done = true;
    });
    waitFor([&] { return done.load(); }, 10000);
    client.join();
    EXPECT_EQ(received.size(), sent.size());
}

}  // namespace
