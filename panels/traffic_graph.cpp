#include "panels/traffic_graph.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <array>
#include <tuple>
#include <utility>

#include "platform/qt/ui_text.h"

namespace {

constexpr int kGap = 4;
constexpr int kLegendLine = 22;

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

QString windowText(TrafficWindow window) {
    return uiText("TrafficGraph", "%1分前").arg(static_cast<int>(window) / 60);
}

QPen linePen(const QColor& colour, Qt::PenStyle style) {
    QPen pen(colour, 2, style);
    pen.setCapStyle(Qt::FlatCap);
    return pen;
}

}  // namespace

TrafficGraph::TrafficGraph(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TrafficGraph::setHistory(const TrafficHistory* history) {
    history_ = history;
    update();
}

void TrafficGraph::setWindow(TrafficWindow window) {
    window_ = window;
    update();
}

void TrafficGraph::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    const std::vector<TrafficSample> samples =
        history_ != nullptr ? history_->within(window_) : std::vector<TrafficSample>{};
    const TrafficSample peak = peakOf(samples);
    const TrafficSample current = samples.empty() ? TrafficSample{} : samples.back();
    const RateAxis axis = rateAxisFor(std::max(peak.up, peak.down));
    const QFontMetrics metrics = fontMetrics();
    const int line = metrics.height();

    // Beside the plot: what each line stands for, its current and its peak figure.
    int legendWidth = 0;
    const std::array<std::pair<QString, QString>, 2> figures{
        {{uiText("TrafficGraph", "現在 ") + text(readableRate(current.up)),
          uiText("TrafficGraph", "最大 ") + text(readableRate(peak.up))},
         {uiText("TrafficGraph", "現在 ") + text(readableRate(current.down)),
          uiText("TrafficGraph", "最大 ") + text(readableRate(peak.down))}}};
    // The wider of the two line names, whichever the language makes longer.
    const int nameWidth =
        std::max(metrics.horizontalAdvance(uiText("TrafficGraph", "上り（→転送先）")),
                 metrics.horizontalAdvance(uiText("TrafficGraph", "下り（←転送先）")));
    for (const auto& [now, most] : figures) {
        legendWidth = std::max({legendWidth, metrics.horizontalAdvance(now),
                                metrics.horizontalAdvance(most), kLegendLine + kGap + nameWidth});
    }
    int labelWidth = 0;
    for (const std::string& label : axis.labels) {
        labelWidth = std::max(labelWidth, metrics.horizontalAdvance(text(label)));
    }
    const QRect plot(labelWidth + 2 * kGap, line / 2 + kGap,
                     width() - labelWidth - legendWidth - 5 * kGap, height() - 2 * line - kGap);
    if (plot.width() < 10 || plot.height() < 10) {
        return;
    }

    // The axis and its grid.
    painter.setPen(palette().color(QPalette::Text));
    const QColor grid = palette().color(QPalette::Mid);
    for (std::size_t i = 0; i < axis.labels.size(); ++i) {
        const double share = static_cast<double>(i) / static_cast<double>(axis.labels.size() - 1);
        const int y = plot.bottom() - static_cast<int>(share * plot.height());
        painter.setPen(grid);
        painter.drawLine(plot.left(), y, plot.right(), y);
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(QRect(kGap, y - line / 2, labelWidth, line), Qt::AlignRight,
                         text(axis.labels[i]));
    }
    painter.drawRect(plot);
    painter.drawText(QRect(plot.left(), plot.bottom() + 2, plot.width() / 2, line), Qt::AlignLeft,
                     windowText(window_));
    painter.drawText(QRect(plot.center().x(), plot.bottom() + 2, plot.width() / 2, line),
                     Qt::AlignRight, uiText("TrafficGraph", "現在"));

    // The lines: the newest sample at the right edge, one second per step to the left.
    const double seconds = static_cast<double>(window_) - 1;
    auto path = [&](double TrafficSample::*direction) {
        QPainterPath drawn;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double age = static_cast<double>(samples.size() - 1 - i);
            const QPointF point(plot.right() - age / seconds * plot.width(),
                                plot.bottom() - samples[i].*direction / axis.top * plot.height());
            i == 0 ? drawn.moveTo(point) : drawn.lineTo(point);
        }
        return drawn;
    };
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipRect(plot);
    painter.strokePath(path(&TrafficSample::down), linePen(kDownColour, Qt::DashLine));
    painter.strokePath(path(&TrafficSample::up), linePen(kUpColour, Qt::SolidLine));
    painter.setClipping(false);

    // The legend.
    const int legendLeft = plot.right() + 2 * kGap;
    const std::array<std::tuple<QString, QColor, Qt::PenStyle>, 2> lines{
        {{uiText("TrafficGraph", "上り（→転送先）"), kUpColour, Qt::SolidLine},
         {uiText("TrafficGraph", "下り（←転送先）"), kDownColour, Qt::DashLine}}};
    int y = plot.top();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto& [name, colour, style] = lines[i];
        painter.setPen(linePen(colour, style));
        painter.drawLine(legendLeft, y + line / 2, legendLeft + kLegendLine, y + line / 2);
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(legendLeft + kLegendLine + kGap, y + metrics.ascent(), name);
        painter.drawText(legendLeft, y + line + metrics.ascent(), figures[i].first);
        painter.drawText(legendLeft, y + 2 * line + metrics.ascent(), figures[i].second);
        y += 3 * line + kGap;
    }
}
