#include "app/tray_summary.h"

#include "panels/port_dlg.h"
#include "panels/traffic_history.h"
#include "platform/qt/ui_text.h"

std::string trayEntryLabel(const CPortDlg& panel) {
    return std::string(panel.isUdp() ? "UDP:" : "TCP:") + std::to_string(panel.getListenPort()) +
           " → " + panel.getForwardHost() + ":" + std::to_string(panel.getForwardPort());
}

std::vector<TrayEntry> trayEntries(const std::vector<std::unique_ptr<CPortDlg>>& panels) {
    std::vector<TrayEntry> entries;
    entries.reserve(panels.size());
    for (const std::unique_ptr<CPortDlg>& panel : panels) {
        entries.push_back(
            {QString::fromStdString(trayEntryLabel(*panel)), panel->getSwitchState() != 0});
    }
    return entries;
}

std::string trayForwardLine(const CPortDlg& panel) {
    const TrafficSample rates = panel.traffic().history().current();
    std::string line =
        std::string(panel.isUdp() ? "UDP:" : "TCP:") + std::to_string(panel.getListenPort());
    if (!panel.getName().empty()) {
        line += " " + panel.getName();
    }
    return line + "  " + std::to_string(panel.getConnectionCount()) + "  ↑" +
           readableRate(rates.up) + " ↓" + readableRate(rates.down);
}

QString trayToolTipOf(const QString& title, const std::vector<std::string>& forwardLines,
                      int total) {
    QString text = title;
    for (std::size_t i = 0; i < forwardLines.size() && i < kMostTrayLines; ++i) {
        text += QStringLiteral("\n") + QString::fromStdString(forwardLines[i]);
    }
    return text + QStringLiteral("\n") + uiText("Tray", "接続数 ") + QString::number(total);
}

QString trayToolTip(const QString& title, const std::vector<std::unique_ptr<CPortDlg>>& panels) {
    int total = 0;
    std::vector<std::string> lines;
    for (const std::unique_ptr<CPortDlg>& panel : panels) {
        total += panel->getConnectionCount();
        if (panel->getSwitchState() != 0 && lines.size() < kMostTrayLines) {
            lines.push_back(trayForwardLine(*panel));
        }
    }
    return trayToolTipOf(title, lines, total);
}
