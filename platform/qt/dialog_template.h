#pragma once

#include <cstdint>
#include <vector>

// Dialog templates as plain data: what a resource script would say about a dialog, in
// dialog units, for the builder in dialog_builder.h to turn into widgets.

// Identifier of controls that nobody addresses (labels, frames).
inline constexpr int IDC_STATIC = -1;

// Command identifiers of the standard buttons and the answers of message boxes.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

enum class ControlKind {
    PushButton,     // BS_PUSHBUTTON, or BS_DEFPUSHBUTTON with style::kDefaultButton
    PushLikeCheck,  // BS_AUTOCHECKBOX | BS_PUSHLIKE: a toggle that looks like a button
    CheckBox,       // BS_AUTOCHECKBOX
    Edit,
    Label,
    GroupBox,
    UpDown,    // attached to the control before it in the template
    ListView,  // report view
    Link,      // "<a>text</a>"; a click reaches the dialog as a link click
    Icon,      // the text holds the icon's resource number
    ComboBox,  // CBS_DROPDOWN (an edit with a list), or CBS_DROPDOWNLIST with kDropDownList
};

// Style bits that change how a control or a dialog is built. Names follow the window
// system's own style names so that templates read like resource scripts.
namespace style {
inline constexpr std::uint32_t kTabStop = 1u << 0;
inline constexpr std::uint32_t kDefaultButton = 1u << 1;
inline constexpr std::uint32_t kAlignLeft = 0;  // the default for text
inline constexpr std::uint32_t kAlignRight = 1u << 2;
inline constexpr std::uint32_t kAlignCenter = 1u << 3;
inline constexpr std::uint32_t kAutoHScroll = 1u << 4;
inline constexpr std::uint32_t kBorder = 1u << 5;
inline constexpr std::uint32_t kNoPrefix = 1u << 6;
// Up-down: sits at the right edge of its buddy, writes its position into it as plain
// decimal without thousands separators; kArrowKeys lets the buddy's arrow keys step it.
inline constexpr std::uint32_t kAlignBuddyRight = 1u << 7;
inline constexpr std::uint32_t kSetBuddyInt = 1u << 8;
inline constexpr std::uint32_t kNoThousands = 1u << 9;
inline constexpr std::uint32_t kArrowKeys = 1u << 10;
// List view.
inline constexpr std::uint32_t kReport = 1u << 11;
inline constexpr std::uint32_t kSingleSelection = 1u << 12;
// Label text centred vertically.
inline constexpr std::uint32_t kCenterImage = 1u << 13;
// Combo box: a list to choose from only, without an edit.
inline constexpr std::uint32_t kDropDownList = 1u << 14;

// Dialog styles.
inline constexpr std::uint32_t kPopup = 1u << 16;
inline constexpr std::uint32_t kChild = 1u << 17;
inline constexpr std::uint32_t kVisible = 1u << 18;
inline constexpr std::uint32_t kCaption = 1u << 19;
inline constexpr std::uint32_t kSysMenu = 1u << 20;
inline constexpr std::uint32_t kModalFrame = 1u << 21;
inline constexpr std::uint32_t kMinimizeBox = 1u << 22;
inline constexpr std::uint32_t kThinBorder = 1u << 23;  // WS_BORDER on a child
inline constexpr std::uint32_t kStaticEdge = 1u << 24;  // WS_EX_STATICEDGE
inline constexpr std::uint32_t kControlParent = 1u << 25;
inline constexpr std::uint32_t kAppWindow = 1u << 26;  // WS_EX_APPWINDOW
}  // namespace style

struct ControlTemplate {
    int id = IDC_STATIC;
    ControlKind kind = ControlKind::Label;
    const char* text = "";  // UTF-8
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
    std::uint32_t styles = 0;
};

struct DialogTemplate {
    int id = 0;
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
    const char* caption = "";  // UTF-8
    std::uint32_t styles = 0;
    const char* fontFace = "ＭＳ Ｐゴシック";
    int fontPoints = 9;
    std::vector<ControlTemplate> controls;
};
