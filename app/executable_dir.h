#pragma once

#include <string>

// The directory part of the program path: the text before its last "/", or empty text when
// it has none (the program was started by bare name).
std::string executableDirectory(const char* programPath);

// Stores the folder of the settings file and makes it current (an empty or unusable folder
// leaves the current directory as it is), then writes "CurrentDir=<dir>" without a line
// end. A portable copy (see isPortableFolder) uses the directory of programPath; an
// installed one the user's config folder, created when missing.
void enterExecutableDirectory(const char* programPath);

// The settings file that enterExecutableDirectory will choose for programPath, as a path
// relative to the current directory when that folder is empty; nothing is created.
std::string settingsFileFor(const char* programPath);

// The folder stored by enterExecutableDirectory; empty before.
const std::string& storedExecutableDirectory();
