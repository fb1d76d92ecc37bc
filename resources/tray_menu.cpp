#include "resources/tray_menu.h"

#include <QtGlobal>
#include <array>

namespace {
constexpr std::array<MenuItem, 3> kTrayItems{{
    {ID_OPEN_MAIN_WINDOW, QT_TRANSLATE_NOOP("Resources", "メインウィンドウを開く")},
    {0, {}},
    {ID_EXIT, QT_TRANSLATE_NOOP("Resources", "終了")},
}};
}  // namespace

MenuResource loadMenuResource(unsigned int id) {
    if (id == IDR_TRAY_MENU) {
        return {"TRAY", kTrayItems};
    }
    return {};
}
