#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QTimer>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "panels/traffic_history.h"
#include "platform/qt/dialog.h"
#include "platform/qt/list_ctrl.h"
#include "relay/port_repeater.h"

class ForwardTraffic;
class QComboBox;
class QLabel;
class SocketLoopThread;
class TrafficGraph;

// The connection-status dialog: one repeater's connections (TCP pairs or UDP sessions), one
// row each in the repeater's order, kept current while it is open: once a second rows of new
// connections appear, rows of closed ones go, and the others change in place (byte counts,
// rates, time). A selected connection can be cut with "切断". The selection follows its
// connection, not its row number.
// Ownership: the repeater and the socket thread are not owned; the panel that opens the
// dialog outlives it. Modal, UI thread. Given a socket thread, the repeater lives there: the
// dialog copies what it shows in one call to that thread, so every row is of one moment.
// Given the forward's traffic, the dialog grows above the list: the totals since ON beside
// the buttons, then a graph of the rates over a window of 1, 5 or 30 minutes.
class CStatusDlg : public CDialog {
  public:
    explicit CStatusDlg(QWidget* parent = nullptr);
    ~CStatusDlg() override;

    CListCtrl* list = nullptr;
    PortRepeater* repeater = nullptr;
    SocketLoopThread* socketThread = nullptr;
    // Not owned; the panel keeps it current. Set before the dialog is made.
    const ForwardTraffic* traffic = nullptr;
    // Sessions rather than connections in the totals.
    bool datagrams = false;

    // The totals line as shown, e.g. "合計 上り 1.2 MiB  下り 3.4 MiB  接続 12 (最大同時 5)".
    std::string totalsText() const;
    TrafficGraph* graph() const { return graph_.get(); }

    // Brings the rows up to the repeater's pairs as they are now.
    void refresh();
    // Shown after the caption, e.g. "TCP:8080  web"; empty keeps the caption alone.
    void setForwardTitle(const std::string& title);

  protected:
    void DoDataExchange(CDataExchange& dx) override;
    bool OnInitDialog() override;
    void OnCommand(int id) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    using Clock = std::chrono::steady_clock;

    // What a row showed last, to tell its pair and to compute rates.
    struct Shown {
        std::uint64_t serial = 0;
        std::uint64_t up = 0;
        std::uint64_t down = 0;
        Clock::time_point at;
    };

    std::vector<ConnectionRow> copyPairs() const;
    void fillRow(int row, const ConnectionRow& pair, Shown& shown, bool fresh);
    std::uint64_t selectedSerial() const;
    void select(std::uint64_t serial);
    void updateButtons();

    void showTitle();
    void addTrafficView();
    void showTraffic();

    std::string forwardTitle_;
    std::vector<Shown> shown_;
    QTimer refreshTimer_;
    // The list and the buttons as laid out at the template's size: wider or taller, the
    // list takes the room and the buttons stay at the right.
    QSize templateSize_;
    QRect listAtTemplate_;
    std::vector<std::pair<QWidget*, QPoint>> buttonsAtTemplate_;
    // Children of the dialog, made only when it is given the traffic; the graph grows in
    // width with the dialog.
    std::unique_ptr<QLabel> totals_;
    std::unique_ptr<QComboBox> windowChoice_;
    std::unique_ptr<TrafficGraph> graph_;
    QRect graphAtTemplate_;
};
