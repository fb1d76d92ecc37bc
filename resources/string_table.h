#pragma once

#include <string_view>

// The program's string table. Texts are UTF-8.

inline constexpr unsigned int IDS_ABOUTBOX = 101;
inline constexpr unsigned int IDP_SOCKETS_INIT_FAILED = 103;

// The entry's text, or empty text when the table has no such entry.
std::string_view loadResourceString(unsigned int id);
