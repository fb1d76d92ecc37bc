#include <sys/socket.h>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QTimer>
#include <array>
#include <atomic>

#include <cerrno>

#include "panel_fixture.h"
#include "panels/status_dlg.h"
#include "panels/traffic_graph.h"
#include "platform/private_profile.h"
#include "platform/qt/list_ctrl.h"
#include "platform/socket_loop_thread.h"
#include "tests/support/loopback.h"

namespace {

using Row = std::array<std::string, 10>;

Row rowOf(const CListCtrl& list, int row) {
    Row cells;
    for (int column = 0; column < 10; ++column) {
        cells[static_cast<std::size_t>(column)] = list.GetItemText(row, column);
    }
    return cells;
}

std::vector<Row> rowsOf(const CListCtrl& list) {
    std::vector<Row> rows;
    for (int row = 0; row < list.GetItemCount(); ++row) {
        rows.push_back(rowOf(list, row));
    }
    return rows;
}

class StatusTest : public PanelTest {
  protected:
    ~StatusTest() override { panel.reset(); }

    // Starts the panel relaying from a free port to the destination port, on this thread's
    // socket loop or on a socket thread of its own, as in the program.
    void startRelay(int destination, bool onSocketThread = false) {
        listenPort = loopback::freePort();
        saveFile(1, listenPort, "127.0.0.1", destination);
        WritePrivateProfileStringA("TCP-PORT0", "NAME", "web", iniPath.c_str());
        if (onSocketThread) {
            socketThread = std::make_unique<SocketLoopThread>();
        }
        makePanel(nullptr, socketThread.get());
        ASSERT_EQ(panelText(IDC_SWITCH), "ON");
    }

    // Read where the repeater lives.
    int pairCount() {
        std::size_t rows = 0;
        runOnSocketLoop(socketThread.get(), [&] { rows = panel->getRepeater().rows().size(); });
        return static_cast<int>(rows);
    }

    // Presses the status button; inside the dialog's own loop runs inspect, then the
    // dialog is closed with its button. False when no dialog came up.
    bool openStatus(const std::function<void(CStatusDlg&)>& inspect) {
        bool seen = false;
        QTimer poll;
        QElapsedTimer clock;
        clock.start();
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* status = dynamic_cast<CStatusDlg*>(QApplication::activeModalWidget());
            if (status == nullptr) {
                if (clock.elapsed() > 5000) {
                    poll.stop();
                }
                return;
            }
            poll.stop();
            seen = true;
            inspect(*status);
            status->clickControl(IDOK);
        });
        poll.start(5);
        panel->clickControl(IDC_STATUS_BUTTON);
        poll.stop();
        return seen;
    }

    Row connectedRow(const loopback::Client& client, int destination) const {
        return {"127.0.0.1",
                std::to_string(client.localPort()),
                "127.0.0.1",
                std::to_string(listenPort),
                "0",
                "127.0.0.1",
                "?",
                "127.0.0.1",
                std::to_string(destination),
                "0"};
    }

    int listenPort = 0;
};

// Where the repeater runs, the panel's count, the list and "切断" behave alike.
class StatusOnEitherThreadTest : public StatusTest, public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(UiOrSocketThread, StatusOnEitherThreadTest, ::testing::Bool());

TEST_P(StatusOnEitherThreadTest, ListsConnectedPairsInSlotOrderWithoutGaps) {
    loopback::Server echo(loopback::echo);
    startRelay(echo.port(), GetParam());
    std::array<loopback::Client, 3> clients;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        ASSERT_TRUE(clients[i].connectTo(listenPort));
        ASSERT_TRUE(
            waitFor([&] { return panel->getConnectionCount() == static_cast<int>(i) + 1; }));
    }
    clients[1].close();
    ASSERT_TRUE(waitFor([&] { return panel->getConnectionCount() == 2; }));

    std::vector<Row> rows;
    std::string title;
    ASSERT_TRUE(openStatus([&](CStatusDlg& status) {
        rows = rowsOf(*status.list);
        title = status.windowTitle().toStdString();
    }));

    EXPECT_EQ(title, "接続状況  TCP:" + std::to_string(listenPort) + "  web");
    ASSERT_EQ(rows.size(), 2u);
    for (Row& row : rows) {
        EXPECT_NE(row[6], "0");
        row[6] = "?";
    }
    EXPECT_EQ(rows[0], connectedRow(clients[0], echo.port()));
    EXPECT_EQ(rows[1], connectedRow(clients[2], echo.port()));
}

TEST_F(StatusTest, PairStillConnectingShowsEmptyOutgoingValues) {
    // The destination's queue takes one connection; the next connect hangs.
    loopback::HoldServer hold(0);
    startRelay(hold.port());
    loopback::Client connected;
    ASSERT_TRUE(connected.connectTo(listenPort));
    ASSERT_TRUE(waitFor([&] { return panel->getConnectionCount() == 1; }));
    loopback::Client connecting;
    ASSERT_TRUE(connecting.connectTo(listenPort));
    ASSERT_TRUE(waitFor([&] { return pairCount() == 2; }));

    std::vector<Row> rows;
    ASSERT_TRUE(openStatus([&](CStatusDlg& status) { rows = rowsOf(*status.list); }));

    EXPECT_EQ(panel->getConnectionCount(), 1);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][7], "127.0.0.1");
    EXPECT_EQ(rows[0][8], std::to_string(hold.port()));
    EXPECT_EQ(rows[1][0], "127.0.0.1");
    EXPECT_EQ(rows[1][1], std::to_string(connecting.localPort()));
    EXPECT_EQ(rows[1][5], "");
    EXPECT_EQ(rows[1][6], "0");
    EXPECT_EQ(rows[1][7], "");
    EXPECT_EQ(rows[1][8], "0");
}

TEST_F(StatusTest, NoEstablishedConnectionShowsTheMessageInstead) {
    loopback::HoldServer hold(0);
    startRelay(hold.port());
    loopback::Client filler;
    ASSERT_TRUE(filler.connectTo(hold.port()));
    loopback::Client connecting;
    ASSERT_TRUE(connecting.connectTo(listenPort));
    ASSERT_TRUE(waitFor([&] { return pairCount() == 1; }));

    const bool opened = openStatus([](CStatusDlg&) {});

    EXPECT_FALSE(opened);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>{"現在接続はありません."});
    EXPECT_EQ(boxes.shown[0].type, MB_OK | MB_ICONWARNING);
}

TEST_F(StatusTest, RowsFollowTheRelayAndTheSelectionFollowsItsPair) {
    loopback::Server echo(loopback::echo);
    startRelay(echo.port());
    std::array<loopback::Client, 3> clients;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        ASSERT_TRUE(clients[i].connectTo(listenPort));
        ASSERT_TRUE(
            waitFor([&] { return panel->getConnectionCount() == static_cast<int>(i) + 1; }));
    }
    // The relay runs on this thread: wait until the echo has come back through it.
    ASSERT_TRUE(clients[2].send("hello"));
    ASSERT_TRUE(waitFor([&] {
        std::uint64_t down = 0;
        for (const ConnectionRow& row : panel->getRepeater().rows()) {
            down += row.bytesDown;
        }
        return down == 5;
    }));
    ASSERT_EQ(clients[2].receive(5), "hello");

    std::vector<std::string> before;
    std::vector<std::string> after;
    std::string selectedPort;
    std::string up;
    std::string down;
    ASSERT_TRUE(openStatus([&](CStatusDlg& status) {
        for (int row = 0; row < status.list->GetItemCount(); ++row) {
            before.push_back(status.list->GetItemText(row, 1));
        }
        status.list->selectRow(2);
        clients[0].close();
        waitFor([&] { return panel->getConnectionCount() == 2; });
        status.refresh();
        for (int row = 0; row < status.list->GetItemCount(); ++row) {
            after.push_back(status.list->GetItemText(row, 1));
        }
        const int selected = status.list->currentRow();
        selectedPort = status.list->GetItemText(selected, 1);
        up = status.list->GetItemText(selected, 10);
        down = status.list->GetItemText(selected, 11);
    }));

    EXPECT_EQ(before.size(), 3u);
    EXPECT_EQ(after, (std::vector<std::string>{std::to_string(clients[1].localPort()),
                                               std::to_string(clients[2].localPort())}));
    EXPECT_EQ(selectedPort, std::to_string(clients[2].localPort()));
    EXPECT_EQ(up, "5");
    EXPECT_EQ(down, "5");
}

// Above the list: the totals since ON, closed connections included, and the graph of the
// sampled rates over the chosen window; the next ON starts them afresh.
TEST_P(StatusOnEitherThreadTest, TotalsAndGraphShowTheForwardSinceItWasSwitchedOn) {
    loopback::Server echo(loopback::echo);
    startRelay(echo.port(), GetParam());
    std::array<loopback::Client, 2> clients;
    const std::string data(500, 'x');
    for (loopback::Client& client : clients) {
        ASSERT_TRUE(client.connectTo(listenPort));
        ASSERT_TRUE(client.send(data));
    }
    // Sampled once a second; the relay may run on this thread, so the echo is read after.
    ASSERT_TRUE(waitFor([&] { return panel->traffic().totals().bytesDown == 1000; }, 5000));
    for (loopback::Client& client : clients) {
        ASSERT_EQ(client.receive(data.size()), data);
    }
    clients[0].close();
    ASSERT_TRUE(waitFor([&] { return panel->getConnectionCount() == 1; }));
    const std::size_t samples = panel->traffic().history().size();
    ASSERT_TRUE(waitFor([&] { return panel->traffic().history().size() > samples; }, 5000));
    EXPECT_GT(peakOf(panel->traffic().history().within(TrafficWindow::OneMinute)).down, 0);

    std::string totals;
    std::vector<TrafficWindow> windows;
    bool listBelowGraph = false;
    ASSERT_TRUE(openStatus([&](CStatusDlg& status) {
        totals = status.totalsText();
        ASSERT_NE(status.graph(), nullptr);
        listBelowGraph = status.list->geometry().top() > status.graph()->geometry().bottom();
        auto* choice = status.findChild<QComboBox*>();
        ASSERT_NE(choice, nullptr);
        for (int index : {1, 0, 2}) {
            choice->setCurrentIndex(index);
            windows.push_back(status.graph()->window());
        }
    }));
    EXPECT_EQ(totals, "合計 上り 1000 B  下り 1000 B  接続 2 (最大同時 2)");
    EXPECT_TRUE(listBelowGraph);
    EXPECT_EQ(windows,
              (std::vector<TrafficWindow>{TrafficWindow::FiveMinutes, TrafficWindow::OneMinute,
                                          TrafficWindow::ThirtyMinutes}));

    panel->clickControl(IDC_SWITCH);
    EXPECT_EQ(panel->traffic().totals().bytesUp, 1000u);
    panel->clickControl(IDC_SWITCH);
    ASSERT_EQ(panelText(IDC_SWITCH), "ON");
    EXPECT_EQ(panel->traffic().totals(), ForwardTotals{});
    EXPECT_EQ(panel->traffic().history().size(), 0u);
}

TEST_P(StatusOnEitherThreadTest, DisconnectResetsBothEndsOfTheSelectedPair) {
    std::atomic<bool> destinationReset{false};
    loopback::Server destination([&](int fd) {
        char byte = 0;
        destinationReset = recv(fd, &byte, 1, 0) < 0 && errno == ECONNRESET;
    });
    startRelay(destination.port(), GetParam());
    loopback::Client client;
    ASSERT_TRUE(client.connectTo(listenPort));
    ASSERT_TRUE(waitFor([&] { return panel->getConnectionCount() == 1; }));

    bool enabledBefore = true;
    ASSERT_TRUE(openStatus([&](CStatusDlg& status) {
        enabledBefore = status.GetDlgItem(IDC_DISCONNECT_BUTTON)->isEnabled();
        status.list->selectRow(0);
        status.clickControl(IDC_DISCONNECT_BUTTON);
    }));

    EXPECT_FALSE(enabledBefore);
    EXPECT_TRUE(waitFor([&] { return panel->getConnectionCount() == 0; }));
    EXPECT_EQ(client.receive(1), "");
    EXPECT_TRUE(waitFor([&] { return destinationReset.load(); }));
}

TEST(StatusDialog, WithoutRepeaterShowsTheHeadersOnly) {
    CStatusDlg status;
    status.Create(nullptr);

    const CListCtrl& list = *status.list;
    EXPECT_EQ(list.GetItemCount(), 0);
    const std::array<const char*, 15> headings{
        "AcceptPeer", "Port",     "BindIp", "Port", "UsedBuff", "BindIp", "Port", "ConnectPeer",
        "Port",       "UsedBuff", "Up",     "Down", "Up/s",     "Down/s", "Time"};
    const std::array<int, 15> widths{80, 50, 80, 50, 70, 80, 50, 80, 50, 70, 90, 90, 80, 80, 60};
    ASSERT_EQ(list.columnCount(), 15);
    for (int column = 0; column < 15; ++column) {
        const auto c = static_cast<std::size_t>(column);
        EXPECT_EQ(list.columnHeading(column), headings[c]) << column;
        EXPECT_EQ(list.columnWidth(column), widths[c]) << column;
        const bool right = column >= 10 || list.columnHeading(column) == "Port" ||
                           list.columnHeading(column) == "UsedBuff";
        EXPECT_EQ(list.columnFormat(column), right ? LVCFMT_RIGHT : LVCFMT_LEFT) << column;
    }
    EXPECT_EQ(list.GetExtendedStyle(), LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    EXPECT_TRUE(list.showGrid());
    EXPECT_EQ(list.selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(list.selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(status.GetWindowText(), "接続状況");
    EXPECT_EQ(status.GetDlgItemText(IDOK), "閉じる");
    EXPECT_EQ(status.GetDlgItemText(IDC_DISCONNECT_BUTTON), "切断");
}

}  // namespace

namespace {

TEST(StatusDialog, RatesInReadableUnitsAndWithoutANameTheCaptionAlone) {
    const std::vector<std::pair<double, std::string>> rates{{0, "0 B/s"},
                                                            {1023, "1023 B/s"},
                                                            {1024, "1.0 KiB/s"},
                                                            {1536, "1.5 KiB/s"},
                                                            {1048575, "1024.0 KiB/s"},
                                                            {1048576, "1.0 MiB/s"},
                                                            {12.34 * 1048576, "12.3 MiB/s"}};
    for (const auto& [bytes, text] : rates) {
        EXPECT_EQ(readableRate(bytes), text);
    }
    CStatusDlg status;
    status.Create(nullptr);
    status.setForwardTitle("");
    EXPECT_EQ(status.windowTitle().toStdString(), "接続状況");
}

}  // namespace
