#pragma once

#include <string>

// Where the settings file lives. A copy of the program in a folder of the user's own keeps
// it beside itself (portable); an installed copy keeps it in the user's config folder.

// The config folder: "$XDG_CONFIG_HOME/tarnwick-pico", or "<home>/.config/tarnwick-pico"
// when XDG_CONFIG_HOME is unset, empty or not absolute. Arguments may be null.
std::string configSettingsDirectory(const char* xdgConfigHome, const char* home);

// True when the settings file belongs beside the executable in executableFolder: the file
// is already there, or the user may write the folder and it is not the folder the package
// installs the program into (where root could write, but a file has no place).
bool isPortableFolder(const std::string& executableFolder);

// The folder of the running executable with links resolved, from the system; empty when
// the system does not say.
std::string runningExecutableFolder();

// Creates folder and any missing parents, the last one with mode 0700. False when it does
// not exist afterwards.
bool createPrivateDirectory(const std::string& folder);
