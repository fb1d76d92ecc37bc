#include "settings/port_settings.h"

#include <array>
#include <cstdio>

#include "platform/private_profile.h"

namespace {

constexpr const char* kActKey = "ACT";
constexpr const char* kPortKey = "PORT";
constexpr const char* kForwardHostKey = "FORWARDHOST";
constexpr const char* kForwardPortKey = "FORWARDPORT";
constexpr const char* kBufferSizeKey = "BUFFERSIZE";

constexpr unsigned int kHostBufferSize = 261;

int readInt(const std::string& section, const char* key, int defaultValue,
            const std::string& path) {
    return static_cast<int>(
        GetPrivateProfileIntA(section.c_str(), key, defaultValue, path.c_str()));
}

void writeInt(const std::string& section, const char* key, int value, const std::string& path) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%d", value);
    WritePrivateProfileStringA(section.c_str(), key, text.data(), path.c_str());
}

}  // namespace

std::string portSectionName(int index) {
    std::array<char, 32> name{};
    std::snprintf(name.data(), name.size(), "TCP-PORT%d", index);
    return name.data();
}

PortSettings loadPortSettings(const std::string& iniPath, int index) {
    const std::string section = portSectionName(index);
    PortSettings settings;
    settings.act = readInt(section, kActKey, 0, iniPath);
    settings.port = readInt(section, kPortKey, 0, iniPath);
    std::array<char, kHostBufferSize> host{};
    GetPrivateProfileStringA(section.c_str(), kForwardHostKey, "127.0.0.1", host.data(),
                             kHostBufferSize, iniPath.c_str());
    settings.forwardHost = host.data();
    settings.forwardPort = readInt(section, kForwardPortKey, 0, iniPath);
    settings.bufferSize = readInt(section, kBufferSizeKey, 128, iniPath);
    return settings;
}

void savePortSettings(const std::string& iniPath, int index, const PortSettings& settings) {
    const std::string section = portSectionName(index);
    writeInt(section, kActKey, settings.act, iniPath);
    writeInt(section, kPortKey, settings.port, iniPath);
    WritePrivateProfileStringA(section.c_str(), kForwardHostKey, settings.forwardHost.c_str(),
                               iniPath.c_str());
    writeInt(section, kForwardPortKey, settings.forwardPort, iniPath);
}
