#include "resources/string_table.h"

#include <QtGlobal>
#include <array>
#include <utility>

namespace {
constexpr std::array<std::pair<unsigned int, std::string_view>, 2> kStrings{{
    {IDS_ABOUTBOX, QT_TRANSLATE_NOOP("Resources", "ターンウィック Pico のﾊﾞｰｼﾞｮﾝ情報")},
    {IDP_SOCKETS_INIT_FAILED,
     QT_TRANSLATE_NOOP("Resources", "Windows ｿｹｯﾄの初期化に失敗しました。")},
}};
}  // namespace

std::string_view loadResourceString(unsigned int id) {
    for (const auto& [key, text] : kStrings) {
        if (key == id) {
            return text;
        }
    }
    return {};
}
