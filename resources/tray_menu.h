#pragma once

#include <span>
#include <string_view>

// Menu resource 137, "TRAY": the labels of the main window's two window commands. The
// program never shows this menu; the commands reach the window by their identifiers.

inline constexpr unsigned int IDR_TRAY_MENU = 137;
inline constexpr unsigned int ID_OPEN_MAIN_WINDOW = 32771;
inline constexpr unsigned int ID_EXIT = 32772;

struct MenuItem {
    unsigned int id;        // 0 for a separator
    std::string_view text;  // empty for a separator
};

struct MenuResource {
    std::string_view popupTitle;
    std::span<const MenuItem> items;
};

// The menu with the given identifier; an empty menu when there is none.
MenuResource loadMenuResource(unsigned int id);
