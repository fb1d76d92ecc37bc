#pragma once

#include <functional>
#include <string>
#include <vector>

// Private-profile (INI) functions with the Windows names, argument orders and behaviour
// that the settings store relies on, for a UTF-8 text file:
// - "[section]" headers and "key=value" lines; names match case-insensitively (ASCII) and
//   blanks around names and values are ignored; lines starting with ";" are comments.
// - A missing file, section or key gives the default; a key with an empty value gives
//   empty text. Only the first section and the first key of a name count.
// - A write changes only the key's own line (or adds one), keeps every other byte, the
//   file's line ends and byte-order mark, and replaces the file in one rename, so a crash
//   or a full disk leaves the old file whole. A read-only file is never replaced. Temporary
//   files that a crashed writer left beside the file are removed at the next write.
// Everything is synchronous; nothing is cached between calls.

// The key's value as a decimal integer: optional sign, then digits up to the first other
// character, taken modulo 2^32; text without leading digits is 0. The default is returned
// when the file, the section or the key is missing, or when the value is empty.
unsigned int GetPrivateProfileIntA(const char* section, const char* key, int defaultValue,
                                   const char* path);

// Copies the key's value (or the default, without its trailing blanks, when the file,
// section or key is missing) into buffer, cut to size - 1 bytes without splitting a UTF-8
// character, zero-terminated. A value enclosed in matching quotes loses them. Returns the
// number of bytes copied, without the terminating zero.
unsigned int GetPrivateProfileStringA(const char* section, const char* key,
                                      const char* defaultValue, char* buffer, unsigned int size,
                                      const char* path);

// Sets the key to value, creating the file, the section and the key as needed. A null
// value removes the key, a null key the whole section. Line breaks inside the texts are
// cut off, since they would split the line. Non-zero on success; a failed write leaves the
// file exactly as it was.
int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* path);

// Beyond the Windows set: the names of the file's sections in file order, as spelt there.
// Empty when the file is missing or unreadable.
std::vector<std::string> profileSectionNames(const char* path);

// A section header to spell anew, found case-insensitively like every name.
struct ProfileSectionRename {
    std::string from;
    std::string to;
};

// Beyond the Windows set: removes the section (its header, its entries and the lines
// between them, with the blank lines after its last entry) and renames the given headers,
// all in one replacement of the file. Comments that follow the section's last entry lead
// into the next section and stay; renamed sections keep their lines as they are; every
// other byte stays. Non-zero on success; a missing section only renames.
int removeProfileSection(const char* section, const std::vector<ProfileSectionRename>& renames,
                         const char* path);

namespace private_profile_detail {

// Called with the temporary file's path after it is complete and synced, just before it
// is renamed over the profile; returning false abandons the write at that point.
using BeforeReplace = std::function<bool(const std::string& temporaryPath)>;

// WritePrivateProfileStringA with a hook into the replacement step.
int writeProfileString(const char* section, const char* key, const char* value, const char* path,
                       const BeforeReplace& beforeReplace);

}  // namespace private_profile_detail
