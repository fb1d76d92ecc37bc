#pragma once

#include "platform/qt/dialog_template.h"

// Dialog templates of the program and the identifiers of their controls.

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_TARNWICK_DIALOG = 102;
inline constexpr int IDD_PORT_DIALOG = 130;
inline constexpr int IDD_SETTING_DIALOG = 131;
inline constexpr int IDD_STATUS_DIALOG = 132;
inline constexpr int IDD_OPTIONS_DIALOG = 133;

// Port panel (130).
inline constexpr int IDC_FORWARD_PORT_TEXT = 1011;
inline constexpr int IDC_STATUS_BUTTON = 1012;
inline constexpr int IDC_SETTING_BUTTON = 1013;
inline constexpr int IDC_FORWARD_HOST_TEXT = 1015;
inline constexpr int IDC_SWITCH = 1017;
inline constexpr int IDC_COUNT_TEXT = 1018;
inline constexpr int IDC_LISTEN_FRAME = 1019;

// Forward-settings dialog (131).
inline constexpr int IDC_LISTEN_PORT_EDIT = 1021;
inline constexpr int IDC_HOST_EDIT = 1022;
inline constexpr int IDC_LOCALHOST_CHECK = 1023;
inline constexpr int IDC_FORWARD_PORT_EDIT = 1024;
inline constexpr int IDC_FORWARD_PORT_SPIN = 1026;
inline constexpr int IDC_LISTEN_PORT_SPIN = 1027;
inline constexpr int IDC_OPTIONS_BUTTON = 1031;

// Options dialog (133), in layout order.
inline constexpr int IDC_NAME_EDIT = 1032;
inline constexpr int IDC_LISTEN_HOST_COMBO = 1033;
inline constexpr int IDC_FILTER_COMBO = 1034;
inline constexpr int IDC_ALLOW_EDIT = 1035;
inline constexpr int IDC_DENY_EDIT = 1036;
inline constexpr int IDC_CONNECT_TIMEOUT_EDIT = 1037;
inline constexpr int IDC_IDLE_TIMEOUT_EDIT = 1038;
inline constexpr int IDC_BUFFER_SIZE_EDIT = 1039;
inline constexpr int IDC_HALF_CLOSE_CHECK = 1040;
inline constexpr int IDC_KEEP_ALIVE_CHECK = 1041;
inline constexpr int IDC_LOG_CHECK = 1042;
inline constexpr int IDC_PROTOCOL_COMBO = 1043;
inline constexpr int IDC_DESTINATIONS_EDIT = 1044;
inline constexpr int IDC_BALANCE_COMBO = 1045;
inline constexpr int IDC_PROXY_PROTOCOL_COMBO = 1046;

// Connection-status dialog (132).
inline constexpr int IDC_CONNECTION_LIST = 1029;
inline constexpr int IDC_DISCONNECT_BUTTON = 1030;

// About box (100) and main window (102).
inline constexpr int IDC_VERSION_LINE = 1028;
inline constexpr int IDC_HOMEPAGE_LINK = 1057;

// Icon resource shown by the about box's icon control.
inline constexpr int IDR_MAINFRAME_ICON = 128;

// The template with the identifier; an empty template (id 0) for unknown ones.
const DialogTemplate& dialogTemplate(int id);
