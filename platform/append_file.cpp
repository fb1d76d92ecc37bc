#include "platform/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

AppendFile::~AppendFile() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

int AppendFile::reopen(const std::string& path) {
    const int fresh = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fresh < 0) {
        return errno;
    }
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = fresh;
    return 0;
}

std::optional<std::uintmax_t> AppendFile::sizeIfAt(const std::string& path) const {
    struct stat atPath {};
    struct stat opened {};
    const bool named = stat(path.c_str(), &atPath) == 0;
    if (fd_ < 0 || fstat(fd_, &opened) != 0 || !named || atPath.st_dev != opened.st_dev ||
        atPath.st_ino != opened.st_ino) {
        return std::nullopt;
    }
    return static_cast<std::uintmax_t>(opened.st_size);
}

bool AppendFile::write(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}
