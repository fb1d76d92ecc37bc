#pragma once

#include <QColor>
#include <QWidget>

#include "panels/traffic_history.h"

// A forward's rates up and down over the chosen time window, drawn by hand: the rate axis
// in round steps of one unit at the left, the two lines (up solid, down dashed, in colours
// that differ in lightness too, so that they part in grey as well), and beside them the
// current and peak figure of each with its unit.
// Ownership: the history is not owned and outlives the widget (the panel holds it).
// Thread: UI thread.
class TrafficGraph : public QWidget {
  public:
    explicit TrafficGraph(QWidget* parent = nullptr);

    void setHistory(const TrafficHistory* history);
    void setWindow(TrafficWindow window);
    TrafficWindow window() const { return window_; }

    static inline const QColor kUpColour{0, 90, 190};
    static inline const QColor kDownColour{235, 130, 0};

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    const TrafficHistory* history_ = nullptr;
    TrafficWindow window_ = TrafficWindow::FiveMinutes;
};
