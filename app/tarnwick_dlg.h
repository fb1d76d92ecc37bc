#pragma once

#include <QIcon>
#include <QRect>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/dialog.h"
#include "resources/tray_menu.h"

class CPortDlg;
class CSettingDlg;

inline constexpr unsigned int IDM_ABOUTBOX = 0x0010;
// System commands with a default handling of their own.
inline constexpr unsigned int SC_MINIMIZE = 0xF020;
inline constexpr unsigned int SC_CLOSE = 0xF060;
inline constexpr unsigned int SC_RESTORE = 0xF120;

// The main window: a modal dialog holding the port panels, owning the one forward-settings
// dialog they share, offering the about box from its system menu (on Linux: the window's
// context menu, since the window manager owns the real one) and saving and stopping every
// panel when it ends. Its modal run is the program's lifetime.
//
// The window is never seen before it is laid out and centred: until setVisible(1) every
// request to show it is dropped.
//
// Ownership: owns the panels and the forward-settings dialog, from initialisation until the
// destroy handling at the end of DoModal. Thread: UI thread.
class CTarnwickDlg : public CDialog {
  public:
    explicit CTarnwickDlg(QWidget* parent = nullptr);
    ~CTarnwickDlg() override;

    // Runs the window until it ends, then its destroy handling: every panel saved and
    // stopped, panels and forward-settings dialog freed.
    int DoModal();

    // Stores whether the window may be shown, then shows (and restores) or hides it.
    void setVisible(int flag);
    // Every show request passes here; while the flag is 0 it is dropped.
    void setVisible(bool visible) override;

    // A window command (WM_COMMAND) with this identifier, as if sent to the window.
    void sendCommand(unsigned int id);
    // A system-menu command (WM_SYSCOMMAND).
    void OnSysCommand(unsigned int id);
    // The close request (WM_CLOSE): ends the window exactly like its close box.
    void sendClose();

    // The items added to the system menu, in order; a separator has id 0.
    const std::vector<MenuItem>& systemMenuItems() const { return systemMenu_; }

    const std::string& iniPath() const { return iniPath_; }
    const std::vector<std::unique_ptr<CPortDlg>>& panels() const { return panels_; }
    CSettingDlg* settingDlg() const { return settingDlg_.get(); }
    int frameWidth() const { return frameWidth_; }
    int frameHeight() const { return frameHeight_; }
    QRect panelRect() const { return panelRect_; }

    // The main window whose window exists right now, or null: a close request must never
    // reach a window that has gone.
    static CTarnwickDlg* liveWindow();

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id) override;
    void OnLinkClick(int id) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // An end requested before the modal loop runs (during initialisation, from a nested
    // loop) ends the run as soon as it starts.
    void done(int result) override;
    int exec() override;

  private:
    void createPanels();
    void layoutPanels();
    void updateTitle();
    void onDestroy();
    void showSystemMenu(const QPoint& globalPosition);

    QIcon appIcon_;
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
};
