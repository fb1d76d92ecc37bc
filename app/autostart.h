#pragma once

#include <string>

// Start at login through the freedesktop Autostart file
// $XDG_CONFIG_HOME/autostart/tarnwick-pico.desktop (~/.config/autostart/ without it).
// The entry starts the program with kAutostartArgument; see CTarnwickDlg::setStartedAtLogin.

inline constexpr const char* kAutostartArgument = "--autostart";

// The file's path; empty when neither XDG_CONFIG_HOME nor HOME gives an absolute folder.
std::string autostartFilePath();

// The Exec value that starts executable with kAutostartArgument: the path quoted as the
// Desktop Entry rules ask, with the string escapes applied on top. Empty for a path that
// an Exec value cannot carry (not absolute, or with a line break or other control byte).
std::string autostartExecValue(const std::string& executable);

// The whole file for executable; empty when autostartExecValue is.
std::string autostartEntry(const std::string& executable);

// Whether the file exists and its Exec line starts exactly this executable.
bool autostartPointsAt(const std::string& path, const std::string& executable);

// Writes the file for executable (made whole beside it, then renamed into place), making
// the folder when needed; or removes it. True when the file is as asked afterwards.
bool writeAutostart(const std::string& path, const std::string& executable);
bool removeAutostart(const std::string& path);
