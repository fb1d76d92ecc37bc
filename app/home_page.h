#pragma once

#include <functional>
#include <string>

// The maker's home page, opened by the about box's link and by the main window's
// "Powered By" link alike.
inline constexpr char kHomePageUrl[] = "https://www.mistrelsoft.example/";

// Opens the home page with the desktop's handler for web addresses; a failure is not
// reported.
void openHomePage();

// Replaces what opening an address does (tests record it instead); an empty function
// restores the desktop's handler.
void setUrlOpener(std::function<void(const std::string& url)> opener);
