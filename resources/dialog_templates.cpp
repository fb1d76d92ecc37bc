#include "resources/dialog_templates.h"

#include <QtGlobal>
#include <array>

namespace {

using CK = ControlKind;
using namespace style;

const DialogTemplate kAboutBox{
    IDD_ABOUTBOX,
    0,
    0,
    235,
    55,
    QT_TRANSLATE_NOOP("Resources", "Tarnwickのﾊﾞｰｼﾞｮﾝ情報"),
    kPopup | kCaption | kSysMenu | kModalFrame,
    "ＭＳ Ｐゴシック",
    9,
    {
        {IDC_STATIC, CK::Icon, "128", 11, 17, 20, 20, 0},
        {IDC_VERSION_LINE, CK::Label, "Tarnwick Version 1.0", 40, 10, 135, 8, kNoPrefix},
        {IDC_STATIC, CK::Label, "Copyright (C) Mistrelsoft", 40, 25, 119, 8, 0},
        {IDOK, CK::PushButton, "OK", 178, 7, 50, 14, kDefaultButton | kTabStop},
        {IDC_HOMEPAGE_LINK, CK::Link,
         QT_TRANSLATE_NOOP("Resources", "<a>Mistrelsoftホームページ</a>"), 40, 37, 80, 11,
         kTabStop},
    }};

const DialogTemplate kMainWindow{
    IDD_TARNWICK_DIALOG,
    0,
    0,
    195,
    36,
    QT_TRANSLATE_NOOP("Resources", "ターンウィック（β）"),
    kPopup | kVisible | kCaption | kSysMenu | kMinimizeBox | kModalFrame | kAppWindow,
    "ＭＳ Ｐゴシック",
    9,
    {
        {IDC_HOMEPAGE_LINK, CK::Link, "<a>Powered By Mistrelsoft</a>", 110, 0, 82, 12, kTabStop},
    }};

const DialogTemplate kPortPanel{
    IDD_PORT_DIALOG,
    0,
    0,
    189,
    41,
    "",
    kChild | kThinBorder | kStaticEdge | kControlParent,
    "ＭＳ Ｐゴシック",
    9,
    {
        {IDC_LISTEN_FRAME, CK::GroupBox, QT_TRANSLATE_NOOP("Resources", "TCP ：65535"), 2, 2, 48,
         37, 0},
        {IDC_SWITCH, CK::PushLikeCheck, "OFF", 9, 16, 23, 14, kAlignCenter | kTabStop},
        {IDC_SETTING_BUTTON, CK::PushButton, QT_TRANSLATE_NOOP("Resources", "設定"), 54, 5, 20, 16,
         kTabStop},
        {IDC_STATUS_BUTTON, CK::PushButton, QT_TRANSLATE_NOOP("Resources", "確認"), 79, 5, 20, 15,
         kTabStop},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "接続数"), 54, 24, 20, 11,
         kAlignRight},
        {IDC_COUNT_TEXT, CK::Label, "0000", 79, 23, 19, 12, kAlignRight},
        {IDC_STATIC, CK::GroupBox, QT_TRANSLATE_NOOP("Resources", "転送先"), 104, 2, 82, 37, 0},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "Ip/Host"), 119, 10, 25, 11, 0},
        {IDC_FORWARD_HOST_TEXT, CK::Label, "255.255.255.255", 108, 22, 48, 13, kAlignCenter},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "Port No."), 159, 10, 24, 11, 0},
        {IDC_FORWARD_PORT_TEXT, CK::Label, "65535", 159, 22, 22, 13, kAlignRight},
    }};

constexpr std::uint32_t kPortSpin = kAlignBuddyRight | kSetBuddyInt | kNoThousands;

const DialogTemplate kSettingDialog{
    IDD_SETTING_DIALOG,
    0,
    0,
    191,
    69,
    QT_TRANSLATE_NOOP("Resources", "TARNWICK設定"),
    kPopup | kCaption | kSysMenu | kModalFrame,
    "ＭＳ Ｐゴシック",
    9,
    {
        {IDC_STATIC, CK::GroupBox, QT_TRANSLATE_NOOP("Resources", "フォワード設定"), 2, 4, 185, 44,
         0},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "Port No."), 17, 15, 26, 13, 0},
        {IDC_LISTEN_PORT_EDIT, CK::Edit, "", 13, 29, 33, 12,
         kAlignRight | kAutoHScroll | kBorder | kTabStop},
        {IDC_LISTEN_PORT_SPIN, CK::UpDown, "", 47, 29, 10, 11, kPortSpin},
        {IDC_STATIC, CK::Label, ">>>>", 60, 29, 17, 11, 0},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "Ip/Host"), 83, 15, 24, 9, 0},
        {IDC_LOCALHOST_CHECK, CK::CheckBox, "localhost", 108, 14, 40, 11, kTabStop},
        {IDC_HOST_EDIT, CK::Edit, "", 81, 29, 61, 12, kAutoHScroll | kBorder | kTabStop},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "Port No."), 155, 14, 26, 13, 0},
        {IDC_FORWARD_PORT_EDIT, CK::Edit, "", 144, 29, 32, 12,
         kAlignRight | kAutoHScroll | kBorder | kTabStop},
        {IDC_FORWARD_PORT_SPIN, CK::UpDown, "", 171, 29, 11, 12, kPortSpin | kArrowKeys},
        {IDOK, CK::PushButton, "OK", 2, 51, 50, 14, kDefaultButton | kTabStop},
        {IDC_OPTIONS_BUTTON, CK::PushButton, QT_TRANSLATE_NOOP("Resources", "詳細設定..."), 70, 51,
         50, 14, kTabStop},
        {IDCANCEL, CK::PushButton, QT_TRANSLATE_NOOP("Resources", "ｷｬﾝｾﾙ"), 137, 51, 50, 14,
         kTabStop},
    }};

constexpr std::uint32_t kFieldEdit = kAutoHScroll | kBorder | kTabStop;
constexpr std::uint32_t kNumberEdit = kAlignRight | kFieldEdit;

const DialogTemplate kOptionsDialog{
    IDD_OPTIONS_DIALOG,
    0,
    0,
    231,
    236,
    QT_TRANSLATE_NOOP("Resources", "TARNWICK詳細設定"),
    kPopup | kCaption | kSysMenu | kModalFrame,
    "ＭＳ Ｐゴシック",
    9,
    {
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "名前"), 7, 9, 62, 9, 0},
        {IDC_NAME_EDIT, CK::Edit, "", 72, 7, 152, 12, kFieldEdit},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "プロトコル"), 7, 25, 62, 9, 0},
        {IDC_PROTOCOL_COMBO, CK::ComboBox, "", 72, 23, 60, 12, kDropDownList | kTabStop},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "待受アドレス"), 7, 41, 62, 9, 0},
        {IDC_LISTEN_HOST_COMBO, CK::ComboBox, "", 72, 39, 152, 12, kTabStop},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "接続できる相手"), 7, 57, 62, 9, 0},
        {IDC_FILTER_COMBO, CK::ComboBox, "", 72, 55, 152, 12, kDropDownList | kTabStop},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "許可リスト"), 17, 73, 52, 9, 0},
        {IDC_ALLOW_EDIT, CK::Edit, "", 72, 71, 152, 12, kFieldEdit},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "拒否リスト"), 17, 89, 52, 9, 0},
        {IDC_DENY_EDIT, CK::Edit, "", 72, 87, 152, 12, kFieldEdit},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "接続タイムアウト"), 7, 107, 62, 9,
         0},
        {IDC_CONNECT_TIMEOUT_EDIT, CK::Edit, "", 72, 105, 40, 12, kNumberEdit},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "秒 (0 = なし)"), 116, 107, 80, 9,
         0},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "無通信で切断"), 7, 123, 62, 9, 0},
        {IDC_IDLE_TIMEOUT_EDIT, CK::Edit, "", 72, 121, 40, 12, kNumberEdit},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "秒 (0 = しない)"), 116, 123, 80, 9,
         0},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "バッファサイズ"), 7, 139, 62, 9, 0},
        {IDC_BUFFER_SIZE_EDIT, CK::Edit, "", 72, 137, 40, 12, kNumberEdit},
        {IDC_STATIC, CK::Label, "KiB", 116, 139, 30, 9, 0},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "ほかの転送先"), 7, 155, 62, 9, 0},
        {IDC_DESTINATIONS_EDIT, CK::Edit, "", 72, 153, 152, 12, kFieldEdit},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "転送先の選び方"), 7, 171, 62, 9, 0},
        {IDC_BALANCE_COMBO, CK::ComboBox, "", 72, 169, 152, 12, kDropDownList | kTabStop},
        {IDC_STATIC, CK::Label, QT_TRANSLATE_NOOP("Resources", "PROXYプロトコル"), 7, 187, 62, 9,
         0},
        {IDC_PROXY_PROTOCOL_COMBO, CK::ComboBox, "", 72, 185, 152, 12, kDropDownList | kTabStop},
        {IDC_HALF_CLOSE_CHECK, CK::CheckBox, QT_TRANSLATE_NOOP("Resources", "ハーフクローズ"), 7,
         203, 70, 11, kTabStop},
        {IDC_KEEP_ALIVE_CHECK, CK::CheckBox, QT_TRANSLATE_NOOP("Resources", "キープアライブ"), 80,
         203, 70, 11, kTabStop},
        {IDC_LOG_CHECK, CK::CheckBox, QT_TRANSLATE_NOOP("Resources", "接続ログ"), 153, 203, 71, 11,
         kTabStop},
        {IDOK, CK::PushButton, "OK", 7, 218, 50, 14, kDefaultButton | kTabStop},
        {IDCANCEL, CK::PushButton, QT_TRANSLATE_NOOP("Resources", "ｷｬﾝｾﾙ"), 174, 218, 50, 14,
         kTabStop},
    }};

const DialogTemplate kStatusDialog{
    IDD_STATUS_DIALOG,
    0,
    0,
    391,
    96,
    QT_TRANSLATE_NOOP("Resources", "接続状況"),
    kPopup | kCaption | kSysMenu | kModalFrame,
    "ＭＳ Ｐゴシック",
    9,
    {
        {IDOK, CK::PushButton, QT_TRANSLATE_NOOP("Resources", "閉じる"), 337, 4, 50, 14,
         kDefaultButton | kTabStop},
        {IDC_DISCONNECT_BUTTON, CK::PushButton, QT_TRANSLATE_NOOP("Resources", "切断"), 283, 4, 50,
         14, kTabStop},
        {IDC_CONNECTION_LIST, CK::ListView, "", 3, 19, 384, 72,
         kReport | kSingleSelection | kBorder | kTabStop},
    }};

const DialogTemplate kNoTemplate{};

}  // namespace

const DialogTemplate& dialogTemplate(int id) {
    static const std::array<const DialogTemplate*, 6> all{
        &kAboutBox, &kMainWindow, &kPortPanel, &kSettingDialog, &kStatusDialog, &kOptionsDialog};
    for (const DialogTemplate* dialog : all) {
        if (dialog->id == id) {
            return *dialog;
        }
    }
    return kNoTemplate;
}
