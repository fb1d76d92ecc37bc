#pragma once

#include <string>

// The [OPTIONS] section of the settings file: the program's own choices about the
// notification area, read at start and written only when the user changes them from the
// window's menu. Every other section and key of the file stays as it is.

struct TrayOptions {
    bool tray = false;         // TRAY=1: an icon in the notification area; closing hides
    bool startHidden = false;  // STARTHIDDEN=1: start with the window hidden (with TRAY)
};

inline constexpr const char* kOptionsSection = "OPTIONS";

TrayOptions readTrayOptions(const std::string& iniPath);
// Writes TRAY as 1 or 0; false when the file could not be written.
bool writeTrayOption(const std::string& iniPath, bool on);
