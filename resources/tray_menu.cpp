#include "resources/tray_menu.h"

#include <array>

namespace {
constexpr std::array<MenuItem, 3> kTrayItems{{
    {ID_OPEN_MAIN_WINDOW, "メインウィンドウを開く"},
    {0, {}},
    {ID_EXIT, "終了"},
}};
}  // namespace

MenuResource loadMenuResource(unsigned int id) {
    if (id == IDR_TRAY_MENU) {
        return {"TRAY", kTrayItems};
    }
    return {};
}
