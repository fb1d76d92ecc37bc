#pragma once

#include <QIcon>
#include <QRect>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/control_protocol.h"
#include "app/tray_summary.h"
#include "app/tray_watch.h"
#include "app/ui_language.h"
#include "app/window_menu.h"
#include "platform/qt/dialog.h"
#include "platform/qt/display_throttle.h"
#include "resources/tray_menu.h"

class CPortDlg;
class CSettingDlg;
class SocketLoopThread;

inline constexpr unsigned int IDM_ABOUTBOX = 0x0010;
// System commands with a default handling of their own.
inline constexpr unsigned int SC_MINIMIZE = 0xF020;
inline constexpr unsigned int SC_CLOSE = 0xF060;
inline constexpr unsigned int SC_RESTORE = 0xF120;

// Whether the main window may be shown at all; see CTarnwickDlg::setVisible.
enum class WindowVisibility : int { hidden = 0, shown = 1 };

// The main window's life. Starting until it is laid out and centred; then Shown or
// HiddenToTray, back and forth; Ending once its end is asked for (the program's loop
// unwinds); Ended after every panel is saved and stopped. Only ever forward, but for the
// two in the middle.
enum class WindowLife { Starting, Shown, HiddenToTray, Ending, Ended };

// The main window: a top-level window holding up to ten port panels in two columns of
// five, owning the one forward-settings dialog they share, offering adding a panel and the
// about box from its context menu (the window manager owns the real system menu) and
// removing a panel from the panel's own, and saving and stopping every panel when it ends.
// It is shown and hidden; the program's own event loop runs it (runMainWindow), and it
// says through ending() when that loop is to stop.
//
// With TRAY=1 in [OPTIONS] it has an icon in the notification area, made by the tray maker
// it is given and spoken to only through signals; while a notification area is there,
// closing the window (close box, Escape, the menu's Close) only hides it and every port
// goes on. The orderly end (the icon's "終了", a shutdown) ends it always.
//
// Ownership: owns the panels, the forward-settings dialog and the icon, from initialisation
// until finish(); the panels' socket thread is not owned and outlives the window.
// Thread: UI thread.
class CTarnwickDlg : public CDialog {
    Q_OBJECT

  public:
    // Makes the icon for a window, wired to it; nullptr for none.
    using TrayMaker = std::function<std::unique_ptr<QObject>(CTarnwickDlg&)>;

    // Without a socket thread the panels relay on the UI thread's own socket loop.
    explicit CTarnwickDlg(QWidget* parent = nullptr, SocketLoopThread* socketThread = nullptr);
    ~CTarnwickDlg() override;

    // Never modal: the window is made with Create and run by the program's loop.
    int DoModal() = delete;
    WindowLife life() const { return life_; }
    // The destroy handling once the program's loop has stopped: every panel saved and
    // stopped, panels, icon and forward-settings dialog freed.
    void finish();

    // Shows (and restores) or hides the window. Qt's setVisible(bool) below only shows or
    // hides, so with plain numbers setVisible(1) and setVisible(true) would do different
    // things; the flag therefore has a type of its own, and a number does not compile.
    void setVisible(WindowVisibility flag);
    void setVisible(int) = delete;
    // Every show request passes here; unless the window is Shown it is dropped.
    void setVisible(bool visible) override;
    // Show means shown: mapped, restored, raised and activated, from any state but the
    // start and the end; a box or dialog open over the window comes to the front with it.
    void showWindow();

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
    bool isWindowLive() const { return isCreated() && life_ != WindowLife::Ended; }
    // Ends the window in order, every panel saved and stopped, even where closing hides.
    void endProgram();

    // Whether a notification area is there; QSystemTrayIcon's answer unless replaced.
    // Once replaced, the window behaves as on a display even where there is none.
    void setTrayAvailability(std::function<bool()> available);
    void setTrayMaker(TrayMaker maker) { trayMaker_ = std::move(maker); }
    // Started by the autostart entry: with TRAY=1 the window starts hidden and waits a
    // while for a notification area that the desktop may start after the program.
    void setStartedAtLogin(bool atLogin) { startedAtLogin_ = atLogin; }
    // The language the window speaks in this run; the menu offers the other for the next.
    void setUiLanguage(UiLanguage language) { uiLanguage_ = language; }
    // Shows or removes the icon and writes TRAY at once.
    void setTrayEnabled(bool on);
    QObject* trayIcon() const { return tray_.get(); }
    // Closing hides: an icon, and a notification area to hold it.
    bool hidesOnClose() const;
    // Hides the window into the notification area, the first time in a run with a note.
    void hideToTray();
    // A left click on the icon: hides a window in view, shows any other.
    void toggleFromTray();
    // A panel's item in the icon's menu: as if its own switch were clicked.
    void switchPanel(int index);
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

    // A command line's request (see control_protocol.h), answered at once.
    ControlReply answerControl(const std::string& line);
    // Reads the settings file again and follows it, panel by panel (CPortDlg::reloadSection);
    // sections gone take their panels with them, new ones get panels. Refused while a
    // settings or options dialog is open. False when not everything could be done; problems
    // then name each port and why.
    bool reloadSettings(std::vector<std::string>& problems);
    std::vector<ForwardListing> forwardListings();

    // The items added to the system menu, in order; a separator has id 0.
    const std::vector<MenuItem>& systemMenuItems() const { return systemMenu_; }

    const std::string& iniPath() const { return iniPath_; }
    const std::vector<std::unique_ptr<CPortDlg>>& panels() const { return panels_; }
    CSettingDlg* settingDlg() const { return settingDlg_.get(); }
    int frameWidth() const { return frameWidth_; }
    int frameHeight() const { return frameHeight_; }
    QRect panelRect() const { return panelRect_; }

  Q_SIGNALS:
    // The end was asked for: the program's loop is to stop with this result.
    void ending(int result);
    // What the icon shows changed.
    void summaryChanged(const QString& toolTip, const std::vector<TrayEntry>& entries);
    // Closing hid the window for the first time in this run.
    void hiddenNoteWanted(const QString& title);

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id) override;
    void OnLinkClick(int id) override;
    void OnCancel() override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Every end of the dialog (EndDialog, a cancel that does not hide) is the orderly end.
    void done(int result) override;

  private:
    // The one place the life moves; false (and nothing done) where it may not.
    bool enter(WindowLife next);
    void bringToFront();
    void createPanels();
    void createPanel(int index, std::string* refusal = nullptr);
    ControlReply switchForwards(const std::string& named, bool on);
    void layoutPanels();
    void updateTitle();
    // The grace to watch for the notification area while starting hidden; none: shown.
    std::optional<int> applyTrayOptions();
    void makeTray();
    void publishSummary();
    bool canHoldAnIcon() const;
    // The window's menu; over a panel of several, led by the panel's removal.
    void showContextMenu(const QPoint& globalPosition, CPortDlg* panel);
    void removePanelLater(CPortDlg* panel);

    WindowLife life_ = WindowLife::Starting;
    QIcon appIcon_;
    SocketLoopThread* socketThread_ = nullptr;
    std::vector<std::unique_ptr<CPortDlg>> panels_;
    // Panels whose sections a reload removed: stopped and hidden, freed only where no event
    // of theirs can still be on the way (the next reload outside a dialog, or the end).
    std::vector<std::unique_ptr<CPortDlg>> retired_;
    std::unique_ptr<CSettingDlg> settingDlg_;
    QRect panelRect_;
    std::string iniPath_;
    int frameWidth_ = 0;
    int frameHeight_ = 0;
    std::vector<MenuItem> systemMenu_;
    TrayMaker trayMaker_;
    // Destroyed before the panels it shows.
    std::unique_ptr<QObject> tray_;
    std::function<bool()> trayAvailable_;
    bool desktopGiven_ = false;
    bool startedAtLogin_ = false;
    UiLanguage uiLanguage_ = UiLanguage::Japanese;
    bool noteShown_ = false;
    CTrayWatch trayWatch_;
    // The counts change at socket speed; the tooltip follows at most twice a second.
    DisplayThrottle summaryThrottle_;
};
