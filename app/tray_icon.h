#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>
#include <string>

class CPortDlg;
class CTarnwickDlg;
class QMenu;

// The program's icon in the notification area. Its menu is the "TRAY" menu resource with
// one check item per port panel after the first entry; its tooltip gives the window's
// title and the established connections of all panels, refreshed twice a second when it
// changed. A left click shows the window, or hides it when it is shown.
//
// Ownership: owns the icon, its menu and the refresh timer; the main window owns this
// object and outlives it. Thread: UI thread.
class CTrayIcon : public QObject {
  public:
    explicit CTrayIcon(CTarnwickDlg& window);
    ~CTrayIcon() override;
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    // The menu as it is about to open: rebuilt from the panels as they are now.
    QMenu& menu();
    void refreshMenu();
    void refreshToolTip();
    QString toolTip() const;
    // The short note shown once per run when closing first hides the window.
    void showHiddenNote();
    int notesShown() const { return notesShown_; }

    // "TCP:<port> → <host>:<port>"
    static std::string panelLabel(const CPortDlg& panel);

  private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void switchPanel(int index);

    CTarnwickDlg& window_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon icon_;
    QTimer refresh_;
    int notesShown_ = 0;
};
