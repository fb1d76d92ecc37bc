#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/qt/dialog.h"
#include "platform/qt/list_ctrl.h"

class CTcpRepeater;
struct CTcpSockPair;

// The connection-status dialog: one repeater's connection pairs, one row per pair in slot
// order, kept current while it is open: once a second rows of new pairs appear, rows of
// closed ones go, and the others change in place (byte counts, rates, time). A selected
// connection can be cut with "切断". The selection follows its pair, not its row number.
// Ownership: the repeater is not owned; the panel that opens the dialog outlives it.
// Modal, UI thread.
class CStatusDlg : public CDialog {
  public:
    explicit CStatusDlg(QWidget* parent = nullptr);
    ~CStatusDlg() override;

    CListCtrl* list = nullptr;
    CTcpRepeater* repeater = nullptr;

    // Brings the rows up to the repeater's pairs as they are now.
    void refresh();

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

    void fillRow(int row, const CTcpSockPair& pair, Shown& shown, bool fresh);
    std::uint64_t selectedSerial() const;
    void select(std::uint64_t serial);
    void updateButtons();

    std::vector<Shown> shown_;
    QTimer refreshTimer_;
    // The list and the buttons as laid out at the template's size: wider or taller, the
    // list takes the room and the buttons stay at the right.
    QSize templateSize_;
    QRect listAtTemplate_;
    std::vector<std::pair<QWidget*, QPoint>> buttonsAtTemplate_;
};
