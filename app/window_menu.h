#pragma once

#include <QPoint>
#include <vector>

#include "resources/tray_menu.h"

class QWidget;

// The context-menu commands that add a panel and remove the one clicked.
inline constexpr unsigned int IDM_ADDPORT = 32773;
inline constexpr unsigned int IDM_REMOVEPORT = 32774;
// The context-menu check items: the notification-area icon and the start at login.
inline constexpr unsigned int IDM_TRAY = 32775;
inline constexpr unsigned int IDM_AUTOSTART = 32776;
// The check item that chooses English (or, cleared, Japanese) for the next start.
inline constexpr unsigned int IDM_ENGLISH = 32777;

// What the main window's context menu offers at the moment it opens.
struct WindowMenuOffer {
    bool removeItem = false;  // opened over a panel, of several
    bool removeEnabled = false;
    bool addEnabled = false;
    bool optionItems = false;  // the desktop's options: icon, start at login, language
    bool trayOn = false;
    bool autostartOn = false;
    bool englishOn = false;                              // English at the next start
    const std::vector<MenuItem>* systemItems = nullptr;  // a separator has id 0
};

struct WindowMenuChoice {
    unsigned int id = 0;  // 0: nothing chosen
    bool checked = false;
};

// Opens the menu at the position and waits for the user's choice.
WindowMenuChoice chooseFromWindowMenu(QWidget& owner, const QPoint& globalPosition,
                                      const WindowMenuOffer& offer);
