#pragma once

#include <cstdio>

// The hidden debug switch.
inline constexpr char kDebugSwitch[] = "-D503";

// Writes every argument after the program path to out as "<n>番目の引数=<text>", and
// "DEBUGMODE ON" for each one that is exactly the debug switch. True when the switch was
// seen at least once.
bool scanArguments(int argc, const char* const* argv, std::FILE* out);
