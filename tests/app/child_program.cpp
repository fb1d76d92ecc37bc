#include "tests/app/child_program.h"

#include <sys/stat.h>

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
                           const std::string& workingDirectory,
                           const std::vector<std::string>& display, long softFileLimit) {
    std::filesystem::create_directories(runtimeFolder(folder));
    chmod(runtimeFolder(folder).c_str(), 0700);
    std::string program = programIn(folder);
    if (!std::filesystem::exists(program)) {
        std::filesystem::copy_file(TARNWICK_PICO_PATH, program);
    }
    std::vector<std::string> argumentTexts{argument0};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment = childEnvironment(folder);
    environment.insert(environment.end(), display.begin(), display.end());
    process_ = std::make_unique<SpawnedProcess>(
        argumentTexts, environment,
        SpawnOptions{program, workingDirectory, errorFile(folder), softFileLimit});
}

ChildProgram::~ChildProgram() = default;
