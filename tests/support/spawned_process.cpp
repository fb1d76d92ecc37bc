#include "tests/support/spawned_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>

namespace {

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

// posix_spawn cannot set a limit in the child, which inherits the parent's instead.
int spawnWithSoftFileLimit(pid_t* pid, const char* program,
                           const posix_spawn_file_actions_t* actions, char* const argv[],
                           char* const envp[], long softFileLimit) {
    rlimit own{};
    const bool lower = softFileLimit >= 0 && getrlimit(RLIMIT_NOFILE, &own) == 0;
    if (lower) {
        rlimit lowered = own;
        lowered.rlim_cur = std::min<rlim_t>(static_cast<rlim_t>(softFileLimit), own.rlim_max);
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    const int result = posix_spawn(pid, program, actions, nullptr, argv, envp);
    if (lower) {
        setrlimit(RLIMIT_NOFILE, &own);
    }
    return result;
}

}  // namespace

SpawnedProcess::SpawnedProcess(const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment,
                               const SpawnOptions& options) {
    std::array<int, 2> pipeEnds{};
    if (arguments.empty() || pipe2(pipeEnds.data(), O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!options.errorFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.errorFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
    }
    if (!options.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    }
    std::vector<std::string> argumentTexts = arguments;
    std::vector<std::string> environmentTexts = environment;
    std::vector<char*> argv = pointersTo(argumentTexts);
    std::vector<char*> envp = pointersTo(environmentTexts);
    pid_t pid = -1;
    const char* program = options.program.empty() ? argv[0] : options.program.c_str();
    if (spawnWithSoftFileLimit(&pid, program, &actions, argv.data(), envp.data(),
                               options.softFileLimit) == 0) {
        pid_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    output_ = pipeEnds[0];
}

SpawnedProcess::~SpawnedProcess() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        waitForExit(std::chrono::seconds(20));
    }
    if (output_ >= 0) {
        close(output_);
    }
}

void SpawnedProcess::signal(int number) const {
    if (pid_ > 0 && !status_) {
        kill(pid_, number);
    }
}

std::string SpawnedProcess::standardOutput(std::chrono::milliseconds timeout) {
    return standardOutputUntil({}, timeout);
}

std::string SpawnedProcess::standardOutputUntil(const std::string& text,
                                                std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output_ >= 0 && millisecondsLeft(deadline) > 0 &&
           (text.empty() || collected_.find(text) == std::string::npos)) {
        pollfd ready{output_, POLLIN, 0};
        int result = poll(&ready, 1, millisecondsLeft(deadline));
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result <= 0) {
            break;
        }
        std::array<char, 4096> buffer{};
        ssize_t got = read(output_, buffer.data(), buffer.size());
        if (got <= 0) {
            close(output_);
            output_ = -1;
            break;
        }
        collected_.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return collected_;
}

std::optional<int> SpawnedProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    // The process descriptor becomes readable when the child ends.
    int handle = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (handle < 0) {
        return status_;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int result = -1;
    do {
        pollfd ended{handle, POLLIN, 0};
        result = poll(&ended, 1, millisecondsLeft(deadline));
    } while (result < 0 && errno == EINTR);
    int status = 0;
    if (result > 0 && waitpid(pid_, &status, 0) == pid_) {
        status_ = status;
    }
    close(handle);
    return status_;
}
