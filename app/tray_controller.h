#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <memory>
#include <vector>

#include "app/tray_summary.h"

class QAction;
class QMenu;

// The program's icon in the notification area and its menu: the "TRAY" menu resource with
// one check item per panel after the first entry. It knows nothing of the window: it says
// what the user asked for through its signals and shows what setSummary last gave it.
//
// Ownership: owns the icon and its menu. Thread: UI thread.
class CTrayController : public QObject {
    Q_OBJECT

  public:
    CTrayController();
    ~CTrayController() override;
    CTrayController(const CTrayController&) = delete;
    CTrayController& operator=(const CTrayController&) = delete;

    QMenu& menu() { return *menu_; }
    QString toolTip() const { return icon_.toolTip(); }
    // The short note shown once per run when closing first hides the window.
    void showHiddenNote(const QString& title);
    int notesShown() const { return notesShown_; }

  public Q_SLOTS:
    // The tooltip and one check item per panel, in order.
    void setSummary(const QString& toolTip, const std::vector<TrayEntry>& entries);

  Q_SIGNALS:
    // "メインウィンドウを開く".
    void showRequested();
    // "終了".
    void quitRequested();
    // A panel's check item: switch that panel as its own switch would.
    void switchRequested(int panel);
    // A left click on the icon: show the window, or hide it when it is shown.
    void toggleRequested();

  private:
    void buildMenu(std::size_t entryCount);
    void onActivated(QSystemTrayIcon::ActivationReason reason);

    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon icon_;
    std::vector<QAction*> entryActions_;  // owned by the menu
    int notesShown_ = 0;
};
