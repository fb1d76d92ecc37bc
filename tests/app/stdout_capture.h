#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

// Sends standard output into a temporary file until finish(), which restores it and
// returns what was written.
class StdoutCapture {
  public:
    StdoutCapture() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        file_ = std::tmpfile();
        if (file_ != nullptr) {
            dup2(fileno(file_), STDOUT_FILENO);
        }
    }
    ~StdoutCapture() { finish(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string finish() {
        if (saved_ < 0) {
            return text_;
        }
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        if (file_ != nullptr) {
            std::rewind(file_);
            char buffer[4096];
            std::size_t got = 0;
            while ((got = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
                text_.append(buffer, got);
            }
            std::fclose(file_);
            file_ = nullptr;
        }
        return text_;
    }

  private:
    int saved_ = -1;
    std::FILE* file_ = nullptr;
    std::string text_;
};
