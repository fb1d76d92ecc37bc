#pragma once

#include <string>

#include "config/forward_bounds.h"

// The five settings of one port panel as they live in its "TCP-PORT<index>" section.
// Values are kept as loaded: nothing is checked here, except that integer text beyond the
// 32-bit range becomes the nearest 32-bit value instead of wrapping into it, and that a
// buffer size above kMostBufferSizeKb counts as kMostBufferSizeKb.
struct PortSettings {
    int act = 0;  // 1 = switched on
    int port = 0;
    std::string forwardHost = "127.0.0.1";
    int forwardPort = 0;
    int bufferSize = kDefaultBufferSizeKb;  // in units of 1024 bytes
};

// Section name for a panel index: "TCP-PORT0" for the first panel.
std::string portSectionName(int index);

// The number of panels the file holds: its consecutive sections "TCP-PORT0", "TCP-PORT1",
// ..., at least 1 (also without a file) and at most kMostPorts. A missing index ends the list.
int countPortSections(const std::string& iniPath);

// Removes the section of panel index with all its keys and moves the sections of the panels
// after it, up to count - 1, down by one index, in one replacement of the file. Every other
// byte stays; keys written by hand move with their section.
void removePortSection(const std::string& iniPath, int index, int count);

// Reads the panel's section; missing keys take the defaults above.
PortSettings loadPortSettings(const std::string& iniPath, int index);

// The keys savePortSettings may write, as bits.
inline constexpr unsigned kActKeyBit = 1;
inline constexpr unsigned kPortKeyBit = 2;
inline constexpr unsigned kForwardHostKeyBit = 4;
inline constexpr unsigned kForwardPortKeyBit = 8;
inline constexpr unsigned kAllPortKeys = 15;

// Writes ACT, PORT, FORWARDHOST and FORWARDPORT in that order, those of keys only. The
// buffer size is only ever set by hand in the file, so it is not written. A failed write is
// not reported: the caller keeps its values and the next save tries again.
void savePortSettings(const std::string& iniPath, int index, const PortSettings& settings,
                      unsigned keys = kAllPortKeys);
