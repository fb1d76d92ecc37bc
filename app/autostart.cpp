#include "app/autostart.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace {

std::string configFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        return config;
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.config";
    }
    return {};
}

// One argument in double quotes: inside them ", `, $ and \ take a backslash; % starts a
// field code, so it is doubled.
std::string quotedArgument(const std::string& argument) {
    std::string out = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            out += '\\';
        } else if (c == '%') {
            out += '%';
        }
        out += c;
    }
    return out + "\"";
}

// The string escapes of a Desktop Entry value, applied before the quoting is read back.
std::string escapedValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

}  // namespace

std::string autostartFilePath() {
    const std::string config = configFolder();
    return config.empty() ? std::string() : config + "/autostart/tarnwick-pico.desktop";
}

std::string autostartExecValue(const std::string& executable) {
    if (executable.empty() || executable[0] != '/') {
        return {};
    }
    for (unsigned char c : executable) {
        if (c < 0x20 || c == 0x7F) {
            return {};
        }
    }
    return escapedValue(quotedArgument(executable)) + " " + kAutostartArgument;
}

std::string autostartEntry(const std::string& executable) {
    const std::string exec = autostartExecValue(executable);
    if (exec.empty()) {
        return {};
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Version=1.4\n"
           "Name=Tarnwick Pico\n"
           "Name[ja]=ターンウィック Pico.\n"
           "Comment=Relays local TCP ports; started at login\n"
           "Exec=" +
           exec +
           "\n"
           "Icon=tarnwick-pico\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool autostartPointsAt(const std::string& path, const std::string& executable) {
    const std::string exec = autostartExecValue(executable);
    std::ifstream in(path);
    if (exec.empty() || !in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Exec=", 0) == 0) {
            return line == "Exec=" + exec;
        }
    }
    return false;
}

bool writeAutostart(const std::string& path, const std::string& executable) {
    const std::string entry = autostartEntry(executable);
    if (entry.empty() || path.empty()) {
        return false;
    }
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << entry;
        out.flush();
        if (!out) {
            out.close();
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

bool removeAutostart(const std::string& path) {
    std::error_code error;
    std::filesystem::remove(path, error);
    return !error && !std::filesystem::exists(std::filesystem::symlink_status(path));
}
