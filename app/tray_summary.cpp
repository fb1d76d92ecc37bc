#include "app/tray_summary.h"

#include "panels/port_dlg.h"
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

QString trayToolTip(const QString& title, const std::vector<std::unique_ptr<CPortDlg>>& panels) {
    int total = 0;
    for (const std::unique_ptr<CPortDlg>& panel : panels) {
        total += panel->getConnectionCount();
    }
    return title + QStringLiteral("\n") + uiText("Tray", "接続数 ") + QString::number(total);
}
