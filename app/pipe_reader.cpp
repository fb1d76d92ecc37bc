#include "app/pipe_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

CPipeReader::CPipeReader(int readFd, Sink sink) : readFd_(readFd), sink_(std::move(sink)) {}

CPipeReader::~CPipeReader() {
    if (thread_.joinable()) {
        char stop = 1;
        ssize_t written = 0;
        do {
            written = write(wakeWrite_, &stop, 1);
        } while (written < 0 && errno == EINTR);
        thread_.join();
    }
    for (int fd : {readFd_, wakeRead_, wakeWrite_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool CPipeReader::start() {
    std::array<int, 2> wake{};
    if (readFd_ < 0 || pipe2(wake.data(), O_CLOEXEC) != 0) {
        return false;
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CPipeReader::run() {
    std::array<char, 4096> buffer{};
    bool stopping = false;
    while (true) {
        std::array<pollfd, 2> fds{{{readFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}}};
        // Once asked to stop, only what is already in the pipe is read.
        int ready = poll(fds.data(), stopping ? 1 : 2, stopping ? 0 : -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return;
        }
        if (!stopping && (fds[1].revents & POLLIN) != 0) {
            stopping = true;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        ssize_t got = read(readFd_, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return;
        }
        sink_(std::string(buffer.data(), static_cast<std::size_t>(got)));
    }
}
