#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A file kept open for appending whole lines, that can tell whether its path still names it
// (someone else may move or remove it).
// Ownership: owns its descriptor. Thread: one at a time.
class AppendFile {
  public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens the file at path (creating it) in place of the one open; 0, or the errno of a
    // failed open, which keeps the one open.
    int reopen(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }
    // The open file's size while path names it; nothing when it was moved, removed, or none
    // is open.
    std::optional<std::uintmax_t> sizeIfAt(const std::string& path) const;
    // False when not all of it was written.
    bool write(const std::string& text);

  private:
    int fd_ = -1;
};
