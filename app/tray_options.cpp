#include "app/tray_options.h"

#include "platform/private_profile.h"

TrayOptions readTrayOptions(const std::string& iniPath) {
    TrayOptions options;
    options.tray = GetPrivateProfileIntA(kOptionsSection, "TRAY", 0, iniPath.c_str()) == 1;
    options.startHidden =
        GetPrivateProfileIntA(kOptionsSection, "STARTHIDDEN", 0, iniPath.c_str()) == 1;
    return options;
}

bool writeTrayOption(const std::string& iniPath, bool on) {
    return WritePrivateProfileStringA(kOptionsSection, "TRAY", on ? "1" : "0", iniPath.c_str()) !=
           0;
}
