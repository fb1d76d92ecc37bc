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
// "TCP:8080 web  3  ↑1.5 KiB/s ↓12.0 MiB/s": the forward, its count and its rates as last
// sampled (no name: "TCP:8080  3  …").
std::string trayForwardLine(const CPortDlg& panel);
// At most this many forwards have a line in the tooltip.
inline constexpr std::size_t kMostTrayLines = 10;
// The title, the first kMostTrayLines of the forwards' lines, then "接続数 <total>".
QString trayToolTipOf(const QString& title, const std::vector<std::string>& forwardLines,
                      int total);
// The same of the panels: a line for each ON forward, the count over every panel.
QString trayToolTip(const QString& title, const std::vector<std::unique_ptr<CPortDlg>>& panels);
