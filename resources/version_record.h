#pragma once

#include <cstddef>

// The program's version record, stored in the executable file in its own ELF section so
// that it can be read back from the file like any other program's record.
//
// Layout, all integers little-endian:
//   "TWVR"               magic
//   u32                  number of entries
//   per entry: u16 key length, u16 value length, key bytes, value bytes
// Keys are query paths: "\VarFileInfo\Translation" holds language and code page as two
// u16; "\StringFileInfo\<language><code page>\<name>" holds a zero-terminated text.

inline constexpr const char* kVersionRecordSection = ".tarnwick.version";
inline constexpr unsigned char kVersionRecordMagic[4] = {'T', 'W', 'V', 'R'};

// The record's bytes in the loaded image. Only the reader's reference to it matters: it
// keeps the record in every executable that reads version records.
const unsigned char* versionRecordImage();
std::size_t versionRecordSize();
