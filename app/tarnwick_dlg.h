#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QRect>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/dialog.h"
#include "resources/tray_menu.h"

class CPortDlg;
class CSettingDlg;
class CTrayIcon;
class QEventLoop;
class QMenu;
class SocketLoopThread;

inline constexpr unsigned int IDM_ABOUTBOX = 0x0010;
// The context-menu commands that add a panel and remove the one clicked.
inline constexpr unsigned int IDM_ADDPORT = 32773;
inline constexpr unsigned int IDM_REMOVEPORT = 32774;
// The context-menu check items: the notification-area icon and the start at login.
inline constexpr unsigned int IDM_TRAY = 32775;
inline constexpr unsigned int IDM_AUTOSTART = 32776;
// System commands with a default handling of their own.
inline constexpr unsigned int SC_MINIMIZE = 0xF020;
inline constexpr unsigned int SC_CLOSE = 0xF060;
inline constexpr unsigned int SC_RESTORE = 0xF120;

// Whether the main window may be shown at all; see CTarnwickDlg::setVisible.
enum class WindowVisibility : int { hidden = 0, shown = 1 };

// The main window: a modal dialog holding up to ten port panels in two columns of five,
// owning the one forward-settings dialog they share, offering adding a panel and the about
// box from its context menu (the window manager owns the real system menu) and removing a
// panel from the panel's own, and saving and stopping every panel when it ends. Its modal
// run is the program's lifetime.
//
// The window is never seen before it is laid out and centred: until
// setVisible(WindowVisibility::shown) every request to show it is dropped.
//
// With TRAY=1 in [OPTIONS] it has an icon in the notification area; while a notification
// area is there, closing the window (close box, Escape, the menu's Close) only hides it
// and every port goes on. The orderly end (the icon's "終了", a shutdown) ends it always.
//
// Ownership: owns the panels and the forward-settings dialog, from initialisation until the
// destroy handling at the end of DoModal; the panels' socket thread is not owned and
// outlives the window. Thread: UI thread.
class CTarnwickDlg : public CDialog {
  public:
    // Without a socket thread the panels relay on the UI thread's own socket loop.
    explicit CTarnwickDlg(QWidget* parent = nullptr, SocketLoopThread* socketThread = nullptr);
    ~CTarnwickDlg() override;

    // Runs the window until it ends, then its destroy handling: every panel saved and
    // stopped, panels and forward-settings dialog freed.
    int DoModal();

    // Stores whether the window may be shown, then shows (and restores) or hides it.
    // Qt's setVisible(bool) below only shows or hides, so with plain numbers setVisible(1)
    // and setVisible(true) would do different things; the flag therefore has a type of its
    // own, and a number does not compile.
    void setVisible(WindowVisibility flag);
    void setVisible(int) = delete;
    // Every show request passes here; while the flag is hidden it is dropped.
    void setVisible(bool visible) override;

    // A window command (WM_COMMAND) with this identifier, as if sent to the window.
    void sendCommand(unsigned int id);
    // A system-menu command (WM_SYSCOMMAND).
    void OnSysCommand(unsigned int id);
    // The close request (WM_CLOSE): does exactly what the close box does, which hides the
    // window where closing hides.
    void sendClose();
    // A console control event: a shutdown ends every open box and dialog, then the window
    // in order, exactly like its close box; the others are ignored. Always 1.
    int onConsoleCtrl(unsigned long event);
    // Between initialisation and the destroy handling.
    bool isWindowLive() const { return isCreated() && !destroyed_; }
    // Ends the window in order, every panel saved and stopped, even where closing hides.
    void endProgram();

    // Whether a notification area is there; QSystemTrayIcon's answer unless replaced.
    // Once replaced, the window behaves as on a display even where there is none.
    void setTrayAvailability(std::function<bool()> available);
    // Started by the autostart entry: with TRAY=1 the window starts hidden and waits a
    // while for a notification area that the desktop may start after the program.
    void setStartedAtLogin(bool atLogin) { startedAtLogin_ = atLogin; }
    // Shows or removes the icon and writes TRAY at once.
    void setTrayEnabled(bool on);
    CTrayIcon* trayIcon() const { return tray_.get(); }
    // Closing hides: an icon, and a notification area to hold it.
    bool hidesOnClose() const;
    // Hides the window into the notification area, the first time in a run with a note.
    void hideToTray();
    // Start at login: the autostart file for this executable, written or removed.
    void setAutostart(bool on);
    bool autostartEnabled() const;

    // The next panel, with the default settings, its section written at once; false at
    // ten panels.
    bool addPanel();
    // Asks, then removes the panel and its section; the panels after it move down one
    // index, in the file too. False when not removed: refused (the only panel, or ON) or
    // answered No.
    bool removePanel(int index);

    // The items added to the system menu, in order; a separator has id 0.
    const std::vector<MenuItem>& systemMenuItems() const { return systemMenu_; }

    const std::string& iniPath() const { return iniPath_; }
    const std::vector<std::unique_ptr<CPortDlg>>& panels() const { return panels_; }
    CSettingDlg* settingDlg() const { return settingDlg_.get(); }
    int frameWidth() const { return frameWidth_; }
    int frameHeight() const { return frameHeight_; }
    QRect panelRect() const { return panelRect_; }

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id) override;
    void OnLinkClick(int id) override;
    void OnCancel() override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // An end requested before the modal loop runs (during initialisation, from a nested
    // loop) ends the run as soon as it starts.
    void done(int result) override;
    int exec() override;

  private:
    void createPanels();
    void createPanel(int index);
    void layoutPanels();
    void updateTitle();
    void onDestroy();
    // The window's menu; over a panel of several, led by the panel's removal.
    void showContextMenu(const QPoint& globalPosition, CPortDlg* panel);
    void addOptionItems(QMenu& menu);
    void applyTrayOptions();
    bool canHoldAnIcon() const;
    // While hidden, looks for the notification area every second; once it has been gone
    // for graceMs, the window shows again, since nothing else could bring it back.
    void watchTray(int graceMs);
    void checkTray();

    QIcon appIcon_;
    SocketLoopThread* socketThread_ = nullptr;
    std::vector<std::unique_ptr<CPortDlg>> panels_;
    std::unique_ptr<CSettingDlg> settingDlg_;
    QRect panelRect_;
    std::string iniPath_;
    int panelCount_ = 0;
    int frameWidth_ = 0;
    int frameHeight_ = 0;
    int visible_ = 0;
    int showAtStart_ = 0;
    std::vector<MenuItem> systemMenu_;
    bool destroyed_ = false;
    bool ended_ = false;
    // Destroyed before the panels it reads.
    std::unique_ptr<CTrayIcon> tray_;
    std::function<bool()> trayAvailable_;
    bool desktopGiven_ = false;
    bool startedAtLogin_ = false;
    bool ending_ = false;
    bool noteShown_ = false;
    // Hiding a modal dialog ends its loop; this says the end was only a hide.
    bool hiddenInLoop_ = false;
    // The loop that runs while the window is hidden; not owned, only while it runs.
    QEventLoop* hiddenLoop_ = nullptr;
    QTimer trayWatch_;
    QElapsedTimer trayMissing_;
    int trayGraceMs_ = 0;
};
