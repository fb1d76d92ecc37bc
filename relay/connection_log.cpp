#include "relay/connection_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

#include "platform/socket_event_loop.h"

namespace {
using namespace std::chrono_literals;

// Local time with milliseconds and its offset from UTC, as 2026-12-08T23:04:05.123+09:00.
std::string timestamp() {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch() %
                                                                        std::chrono::seconds(1))
                      .count();
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[32] = {};
    char offset[8] = {};
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(offset, sizeof offset, "%z", &local);
    char text[64] = {};
    std::snprintf(text, sizeof text, "%s.%03d%.3s:%.2s", date, static_cast<int>(millis), offset,
                  offset + 3);
    return text;
}

int openForAppend(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}
}  // namespace

ConnectionLog::ConnectionLog(std::string path, int listenPort, const std::string& name,
                             const std::string& protocol)
    : path_(std::move(path)), portField_(protocol + ":" + std::to_string(listenPort)) {
    if (!name.empty()) {
        // A tab or line end in the name must not split its field or its line.
        nameField_ = "\t" + name;
        std::replace_if(
            nameField_.begin() + 1, nameField_.end(),
            [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    }
    // Opened now, while descriptors are to be had, and kept.
    reopen();
}

ConnectionLog::~ConnectionLog() {
    flush();
    if (!pending_.empty()) {
        sayFailure();
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::string ConnectionLog::endText(const std::string& address, unsigned int port) {
    if (address.find(':') != std::string::npos) {
        return "[" + address + "]:" + std::to_string(port);
    }
    return address + ":" + std::to_string(port);
}

void ConnectionLog::append(const std::string& event, const Ends& ends, const std::string& tail) {
    pending_ += timestamp() + "\t" + portField_ + "\t" + event + "\t" + ends.client + "\t" +
                ends.destination + tail + nameField_ + "\n";
    scheduleFlush();
}

void ConnectionLog::opened(const Ends& ends) {
    append("open", ends, "");
}

void ConnectionLog::closed(const Ends& ends, const Totals& totals, const std::string& reason) {
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(totals.lasted).count();
    char lasted[32] = {};
    std::snprintf(lasted, sizeof lasted, "%lld.%03lld", static_cast<long long>(millis / 1000),
                  static_cast<long long>(millis % 1000));
    append("close", ends,
           "\t" + std::to_string(totals.up) + "\t" + std::to_string(totals.down) + "\t" + lasted +
               "\t" + reason);
}

void ConnectionLog::refused(const std::string& client) {
    append("refused", {client, ""}, "");
}

void ConnectionLog::failed(const Ends& ends, int error) {
    append("failed", ends, "\t" + std::to_string(error));
}

void ConnectionLog::scheduleFlush() {
    if (!flushTimer_.active()) {
        flushTimer_.start(1s, [this] { flush(); });
    }
}

void ConnectionLog::reopen() {
    const int fresh = openForAppend(path_);
    openError_ = fresh < 0 ? errno : 0;
    if (fresh >= 0) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fresh;
    }
}

int ConnectionLog::currentFile() {
    struct stat atPath {};
    struct stat open {};
    const bool named = stat(path_.c_str(), &atPath) == 0;
    // Moved or removed (rotated by someone else), or never opened.
    const bool elsewhere = fd_ < 0 || fstat(fd_, &open) != 0 || !named ||
                           atPath.st_dev != open.st_dev || atPath.st_ino != open.st_ino;
    // Full: renamed here. Without a descriptor for the new file the lines go on into the old.
    const bool full = !elsewhere && static_cast<std::uintmax_t>(open.st_size) >= kRotateBytes &&
                      std::rename(path_.c_str(), (path_ + ".1").c_str()) == 0;
    if (elsewhere || full) {
        reopen();
    }
    return fd_;
}

void ConnectionLog::sayFailure() {
    if (!failureSaid_) {
        failureSaid_ = true;
        std::fprintf(stderr, "%s: cannot write, connection log lines are dropped\n", path_.c_str());
    }
}

void ConnectionLog::flush() {
    if (pending_.empty()) {
        return;
    }
    const int fd = currentFile();
    const bool shortOfDescriptors = openError_ == EMFILE || openError_ == ENFILE;
    if (fd < 0 && shortOfDescriptors && pending_.size() <= kMostWaitingBytes) {
        scheduleFlush();  // the lines wait for a descriptor
        return;
    }
    if (fd < 0) {
        sayFailure();
        pending_.clear();
        return;
    }
    if (!writeAll(fd, pending_)) {
        sayFailure();
    }
    pending_.clear();
}
