#pragma once

#include <QString>
#include <memory>
#include <string>
#include <vector>

class CPortDlg;

// What the notification area shows of the window: one check item per panel, checked
// while the port is ON, and a tooltip with the title and the connections of all panels.
// Plain values, so that the icon needs to know nothing of the window or its panels.
struct TrayEntry {
    QString label;
    bool on = false;

    bool operator==(const TrayEntry&) const = default;
};

// "TCP:<port> → <host>:<port>"
std::string trayEntryLabel(const CPortDlg& panel);
std::vector<TrayEntry> trayEntries(const std::vector<std::unique_ptr<CPortDlg>>& panels);
// The title, then "接続数 <n>" over every panel.
QString trayToolTip(const QString& title, const std::vector<std::unique_ptr<CPortDlg>>& panels);
