#include "relay/connection_log.h"

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
    openError_ = file_.reopen(path_);
}

bool ConnectionLog::currentFile() {
    const std::optional<std::uintmax_t> size = file_.sizeIfAt(path_);
    // Moved or removed (rotated by someone else), or never opened.
    const bool elsewhere = !size;
    // Full: renamed here. Without a descriptor for the new file the lines go on into the old.
    const bool full = !elsewhere && *size >= kRotateBytes &&
                      std::rename(path_.c_str(), (path_ + ".1").c_str()) == 0;
    if (elsewhere || full) {
        reopen();
    }
    return file_.isOpen();
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
    const bool open = currentFile();
    const bool shortOfDescriptors = openError_ == EMFILE || openError_ == ENFILE;
    if (!open && shortOfDescriptors && pending_.size() <= kMostWaitingBytes) {
        scheduleFlush();  // the lines wait for a descriptor
        return;
    }
    if (!open) {
        sayFailure();
        pending_.clear();
        return;
    }
    if (!file_.write(pending_)) {
        sayFailure();
    }
    pending_.clear();
}
