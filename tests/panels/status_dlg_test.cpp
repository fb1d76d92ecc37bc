#include <QApplication>
#include <QHeaderView>
#include <QTimer>
#include <array>

#include "panel_fixture.h"
#include "panels/status_dlg.h"
#include "platform/qt/list_ctrl.h"
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
    // Starts the panel relaying from a free port to the destination port.
    void startRelay(int destination) {
        listenPort = loopback::freePort();
        saveFile(1, listenPort, "127.0.0.1", destination);
        makePanel();
        ASSERT_TRUE(panel->getRepeater().isListening());
    }

    int pairCount() {
        int cursor = 0;
        int pairs = 0;
        while (panel->getRepeater().getNextPair(cursor) != nullptr && pairs < 1000) {
            ++pairs;
        }
        return pairs;
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

TEST_F(StatusTest, ListsConnectedPairsInSlotOrderWithoutGaps) {
    loopback::Server echo(loopback::echo);
    startRelay(echo.port());
    std::array<loopback::Client, 3> clients;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        ASSERT_TRUE(clients[i].connectTo(listenPort));
        ASSERT_TRUE(
            waitFor([&] { return panel->getConnectionCount() == static_cast<int>(i) + 1; }));
    }
    clients[1].close();
    ASSERT_TRUE(waitFor([&] { return panel->getConnectionCount() == 2; }));

    std::vector<Row> rows;
    ASSERT_TRUE(openStatus([&](CStatusDlg& status) { rows = rowsOf(*status.list); }));

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

TEST_F(StatusTest, RowsStayWhileTheRelayGoesOnUnderTheDialog) {
    loopback::Server echo(loopback::echo);
    startRelay(echo.port());
    loopback::Client first;
    ASSERT_TRUE(first.connectTo(listenPort));
    ASSERT_TRUE(waitFor([&] { return panel->getConnectionCount() == 1; }));

    int rowsAfterClose = -1;
    int rowsAfterConnect = -1;
    bool countFell = false;
    bool countRose = false;
    loopback::Client second;
    ASSERT_TRUE(openStatus([&](CStatusDlg& status) {
        first.close();
        countFell = waitFor([&] { return panel->getConnectionCount() == 0; });
        rowsAfterClose = status.list->GetItemCount();
        countRose = second.connectTo(listenPort) &&
                    waitFor([&] { return panel->getConnectionCount() == 1; });
        rowsAfterConnect = status.list->GetItemCount();
    }));

    EXPECT_TRUE(countFell);
    EXPECT_TRUE(countRose);
    EXPECT_TRUE(waitFor([&] { return panelText(IDC_COUNT_TEXT) == "1"; }));
    EXPECT_EQ(rowsAfterClose, 1);
    EXPECT_EQ(rowsAfterConnect, 1);
}

TEST(StatusDialog, WithoutRepeaterShowsTheTenHeadersOnly) {
    CStatusDlg status;
    status.Create(nullptr);

    const CListCtrl& list = *status.list;
    EXPECT_EQ(list.GetItemCount(), 0);
    const std::array<const char*, 10> headings{"AcceptPeer", "Port",    "BindIp", "Port",
                                               "UsedBuff",   "BindIp",  "Port",   "ConnectPeer",
                                               "Port",       "UsedBuff"};
    const std::array<int, 10> widths{80, 50, 80, 50, 70, 80, 50, 80, 50, 70};
    ASSERT_EQ(list.columnCount(), 10);
    for (int column = 0; column < 10; ++column) {
        const auto c = static_cast<std::size_t>(column);
        EXPECT_EQ(list.columnHeading(column), headings[c]) << column;
        EXPECT_EQ(list.columnWidth(column), widths[c]) << column;
        const bool right =
            list.columnHeading(column) == "Port" || list.columnHeading(column) == "UsedBuff";
        EXPECT_EQ(list.columnFormat(column), right ? LVCFMT_RIGHT : LVCFMT_LEFT) << column;
    }
    EXPECT_EQ(list.GetExtendedStyle(), LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    EXPECT_TRUE(list.showGrid());
    EXPECT_EQ(list.selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(list.selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(status.GetWindowText(), "接続状況");
    EXPECT_EQ(status.GetDlgItemText(IDOK), "閉じる");
}

}  // namespace
