#pragma once

#include <string>

// The directory part of the program path: the text before its last "/", or empty text when
// it has none (the program was started by bare name).
std::string executableDirectory(const char* programPath);

// Stores the program's directory, makes it current (an empty or unusable directory leaves
// the current directory as it is) and writes "CurrentDir=<dir>" without a line end.
void enterExecutableDirectory(const char* programPath);

// The directory stored by enterExecutableDirectory; empty before.
const std::string& storedExecutableDirectory();
