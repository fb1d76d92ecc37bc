#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/append_file.h"
#include "platform/loop_timer.h"

// One line per connection event, appended to a text file for the user to read later.
//
// Lines are kept in memory and written at most once a second (and by flush(), which the
// repeater calls when it stops, and at destruction), so relaying never waits for the disk.
// A write that fails drops its lines and says so once on standard error; relaying goes on.
// The file is opened once and kept open, so that lines still go out while descriptors run
// short; it is opened again when it was moved or removed (log rotation). While no descriptor
// can be had for that, lines go to the file still open, or wait (up to 1 MiB) when none is.
// Past 10 MiB the file becomes "<name>.1" (replacing an older one) and a new file begins.
// Ownership: owns its buffer and the file's descriptor. Thread: the relay's thread.
class ConnectionLog {
  public:
    // Peers as "address:port" ("[address]:port" for IPv6).
    struct Ends {
        std::string client;
        std::string destination;
    };
    struct Totals {
        std::uint64_t up = 0;
        std::uint64_t down = 0;
        std::chrono::steady_clock::duration lasted{};
    };

    // Lines name the port as "<protocol>:<port>" (TCP:8080, UDP:5353); a non-empty name ends
    // every line as one more field, after the event's own fields.
    ConnectionLog(std::string path, int listenPort, const std::string& name = {},
                  const std::string& protocol = "TCP");
    ~ConnectionLog();
    ConnectionLog(const ConnectionLog&) = delete;
    ConnectionLog& operator=(const ConnectionLog&) = delete;

    void opened(const Ends& ends);
    void closed(const Ends& ends, const Totals& totals, const std::string& reason);
    void refused(const std::string& client);
    void failed(const Ends& ends, int error);

    void flush();

    static std::string endText(const std::string& address, unsigned int port);

    // Where the file starts anew.
    static constexpr std::uintmax_t kRotateBytes = 10u << 20;
    // Lines kept while the file cannot be opened; past this they are dropped.
    static constexpr std::size_t kMostWaitingBytes = std::size_t{1} << 20;

  private:
    void append(const std::string& event, const Ends& ends, const std::string& tail);
    void scheduleFlush();
    // Makes the file to write to now the one open, or the file at the path when that one was
    // moved, removed or is full; false when neither can be had.
    bool currentFile();
    void reopen();
    void sayFailure();

    std::string path_;
    std::string portField_;
    std::string nameField_;  // with its leading tab, or empty
    std::string pending_;
    AppendFile file_;
    int openError_ = 0;  // errno of the last open that failed, or 0
    bool failureSaid_ = false;
    LoopTimer flushTimer_;
};
