#include "app/executable_dir.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "app/settings_dir.h"
#include "config/forward_bounds.h"

namespace {

std::string g_executableDirectory;

bool settingsBesideProgram() {
    const std::string running = runningExecutableFolder();
    return running.empty() || isPortableFolder(running);
}

std::string configFolder() {
    return configSettingsDirectory(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

}  // namespace

std::string executableDirectory(const char* programPath) {
    // In UTF-8 no byte of a multibyte character can be mistaken for "/".
    std::string path = programPath != nullptr ? programPath : "";
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void enterExecutableDirectory(const char* programPath) {
    if (settingsBesideProgram()) {
        g_executableDirectory = executableDirectory(programPath);
    } else {
        g_executableDirectory = configFolder();
        createPrivateDirectory(g_executableDirectory);
    }
    if (!g_executableDirectory.empty()) {
        // A directory that cannot be entered leaves the inherited one in place.
        int ignored = chdir(g_executableDirectory.c_str());
        (void)ignored;
    }
    std::printf("CurrentDir=%s", g_executableDirectory.c_str());
}

std::string settingsFileFor(const char* programPath) {
    const std::string folder =
        settingsBesideProgram() ? executableDirectory(programPath) : configFolder();
    return folder.empty() ? std::string(kSettingsFileName) : folder + "/" + kSettingsFileName;
}

const std::string& storedExecutableDirectory() {
    return g_executableDirectory;
}
