#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Where and how a program is started, beyond its arguments and environment.
struct SpawnOptions {
    // The executable, when argument 0 is to say something else; empty: argument 0.
    std::string program;
    // The current directory of the child; empty: the test's.
    std::string workingDirectory;
    // Standard error appended to this file; empty: the test's standard error.
    std::string errorFile;
    // 0 or more: the child starts with this soft open-files limit (the test's own soft limit
    // is lowered to it for the moment of the spawn); below 0: the test's limit.
    long softFileLimit = -1;
};

// A program started by the test with exactly the arguments and environment given, its
// standard output kept in a pipe and its standard input on /dev/null.
//
// Ownership: owns the child; the destructor kills it (by its process id only) if it still
// runs and reaps it. Thread: the test's own.
class SpawnedProcess {
  public:
    SpawnedProcess(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, const SpawnOptions& options = {});
    ~SpawnedProcess();
    SpawnedProcess(const SpawnedProcess&) = delete;
    SpawnedProcess& operator=(const SpawnedProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int number) const;

    // Everything written to standard output until the child let go of it or the timeout.
    std::string standardOutput(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // The same, but returns as soon as the output holds the text.
    std::string standardOutputUntil(const std::string& text, std::chrono::milliseconds timeout);

    // The wait status once the child has ended; nothing while it still runs at the timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::optional<int> status_;
    std::string collected_;
};
