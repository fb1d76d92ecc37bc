#pragma once

#include <string_view>
#include <vector>

// The product version from the program's own version record: "Ver.:" and the version, or
// empty text when the record cannot be read. The first successful result is kept for the
// life of the process and returned unchanged after that; a failed attempt is retried at the
// next call. User-interface thread only.
const char* getVersionText();

namespace version_detail {

// Reads the version record out of the executable file at path into block; the block gets
// one spare zero byte at its end. False when the file or its record cannot be read.
bool readVersionRecord(const char* path, std::vector<unsigned char>& block);

// Looks a query path ("\VarFileInfo\Translation", "\StringFileInfo\041104b0\ProductVersion")
// up in a record read by readVersionRecord.
bool queryVersionValue(const std::vector<unsigned char>& block, std::string_view path,
                       std::string_view& value);

// How many times getVersionText has read the record from the file.
int versionRecordReads();

}  // namespace version_detail
