#include "tests/app/child_program.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace {

std::vector<std::string> childEnvironment(const std::string& folder) {
    std::vector<std::string> out;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "XDG_RUNTIME_DIR" &&
            name != "QT_QPA_PLATFORM") {
            out.push_back(text);
        }
    }
    out.push_back("XDG_RUNTIME_DIR=" + ChildProgram::runtimeFolder(folder));
    return out;
}

}  // namespace

ChildProgram::ChildProgram(const std::string& folder, const std::string& argument0,
                           const std::vector<std::string>& arguments,
                           const std::string& workingDirectory) {
    std::filesystem::create_directories(runtimeFolder(folder));
    chmod(runtimeFolder(folder).c_str(), 0700);
    std::string program = programIn(folder);
    if (!std::filesystem::exists(program)) {
        std::filesystem::copy_file(TARNWICK_PICO_PATH, program);
    }

    std::array<int, 2> pipeEnds{};
    if (pipe2(pipeEnds.data(), O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const std::string errors = errorFile(folder);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());

    std::vector<std::string> argumentTexts{argument0};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argumentTexts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environmentTexts = childEnvironment(folder);
    std::vector<char*> envp;
    for (std::string& text : environmentTexts) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);

    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
        pid_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    output_ = pipeEnds[0];
}

ChildProgram::~ChildProgram() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        waitForExit(std::chrono::seconds(20));
    }
    if (output_ >= 0) {
        close(output_);
    }
}

void ChildProgram::signal(int number) const {
    if (pid_ > 0 && !status_) {
        kill(pid_, number);
    }
}

std::string ChildProgram::standardOutput(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (output_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd ready{output_, POLLIN, 0};
        int result = poll(&ready, 1, static_cast<int>(left.count()));
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

std::optional<int> ChildProgram::waitForExit(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    // The process descriptor becomes readable when the child ends.
    int handle = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (handle < 0) {
        return status_;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ended{handle, POLLIN, 0};
        int result = poll(&ended, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result > 0) {
            int status = 0;
            if (waitpid(pid_, &status, 0) == pid_) {
                status_ = status;
            }
        }
        break;
    }
    close(handle);
    return status_;
}
