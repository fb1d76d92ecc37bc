#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/spawned_process.h"

// The program itself, run as a child process in a folder of the test's own: a copy of the
// executable, its settings file beside it and a lock folder of its own, no display unless
// one is given (without, the program picks the offscreen platform by itself). Standard output is
// kept in a pipe. Only this child is ever signalled or killed, by its process id; it is killed when
// the object goes if it still runs.
class ChildProgram {
  public:
    // Copies the executable into folder (once) and starts it with argument 0 as given,
    // the arguments after it, and workingDirectory as current directory; display entries
    // ("DISPLAY=:5") are added to its environment, and a softFileLimit of 0 or more is its
    // soft open-files limit at start.
    ChildProgram(const std::string& folder, const std::string& argument0,
                 const std::vector<std::string>& arguments, const std::string& workingDirectory,
                 const std::vector<std::string>& display = {}, long softFileLimit = -1);
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    bool started() const { return process_->started(); }
    pid_t pid() const { return process_->pid(); }
    void signal(int number) const { process_->signal(number); }

    // Everything the child wrote to its standard output until it let go of it (or the
    // timeout passed).
    std::string standardOutput(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return process_->standardOutput(timeout);
    }

    // The wait status once the child has ended, or nothing when it still runs at the timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return process_->waitForExit(timeout);
    }

    // The lock folder the child uses as XDG_RUNTIME_DIR.
    static std::string runtimeFolder(const std::string& folder) { return folder + "/run"; }
    static std::string errorFile(const std::string& folder) {
        return runtimeFolder(folder) + "/stderr.txt";
    }
    static std::string programIn(const std::string& folder) { return folder + "/tarnwick-pico"; }

  private:
    std::unique_ptr<SpawnedProcess> process_;
};
