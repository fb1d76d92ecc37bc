#include "app/settings_dir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "settings/port_settings.h"

namespace {

std::string homeFolder(const char* home) {
    if (home != nullptr && home[0] != '\0') {
        return home;
    }
    // Services started without a login environment may lack HOME.
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

}  // namespace

std::string configSettingsDirectory(const char* xdgConfigHome, const char* home) {
    // A relative XDG_CONFIG_HOME is invalid and must be ignored.
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') {
        return std::string(xdgConfigHome) + "/tarnwick-pico";
    }
    return homeFolder(home) + "/.config/tarnwick-pico";
}

bool isPortableFolder(const std::string& executableFolder) {
    std::string settingsFile = executableFolder + "/" + kSettingsFileName;
    if (access(settingsFile.c_str(), F_OK) == 0) {
        return true;
    }
    return executableFolder != TARNWICK_INSTALLED_BINDIR &&
           access(executableFolder.c_str(), W_OK) == 0;
}

std::string runningExecutableFolder() {
    std::array<char, 4096> path{};
    ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) {
        return "";
    }
    std::string text(path.data(), static_cast<std::size_t>(length));
    std::string::size_type slash = text.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : text.substr(0, slash);
}

bool createPrivateDirectory(const std::string& folder) {
    std::string::size_type slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        // Parents such as ~/.config are shared with other programs: private too, as the
        // XDG base directories ask.
        createPrivateDirectory(folder.substr(0, slash));
    }
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
