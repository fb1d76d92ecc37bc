#pragma once

#include <QString>
#include <string>
#include <string_view>

// Every text the user sees passes through uiText: the source is the program's own text
// (Japanese, UTF-8) and comes back unchanged, byte for byte, unless a translation of the
// user's language is installed (see app/ui_language.h), which then supplies its text.
// Tables mark their texts with QT_TRANSLATE_NOOP("<context>", "...") and translate them
// where they are shown; lupdate knows uiText and uiString as QCoreApplication::translate.

// The context of every text in the resource tables: dialog templates, menus, strings.
inline constexpr const char* kResourceContext = "Resources";

QString uiText(const char* context, const char* source);
QString uiText(const char* context, std::string_view source);
// The same as UTF-8, for the callers that speak std::string (message boxes, dialog items).
std::string uiString(const char* context, const char* source);
