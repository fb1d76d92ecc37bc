#include "settings/port_settings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/private_profile.h"

namespace {

constexpr const char* kActKey = "ACT";
constexpr const char* kPortKey = "PORT";
constexpr const char* kForwardHostKey = "FORWARDHOST";
constexpr const char* kForwardPortKey = "FORWARDPORT";
constexpr const char* kBufferSizeKey = "BUFFERSIZE";

constexpr unsigned int kHostBufferSize = 261;
constexpr unsigned int kIntTextBufferSize = 261;

// The nearest 32-bit value for integer text beyond that range, which the profile's own
// conversion would wrap: PORT=4294975376 must not come out as port 8080. Digits that run
// up to the end of a full buffer count as beyond the range too.
std::optional<int> saturatedOutOfRange(std::string_view text, bool filledBuffer) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' ||
                               text[i] == '\v' || text[i] == '\f')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    while (i < text.size() && text[i] == '0') {
        ++i;
    }
    std::int64_t magnitude = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        if (digits < 11) {
            magnitude = magnitude * 10 + (text[i] - '0');
        }
    }
    const bool cutInDigits = filledBuffer && i == text.size() && digits > 0;
    constexpr std::int64_t kMax = std::numeric_limits<int>::max();
    if (negative && (cutInDigits || digits > 10 || magnitude > kMax + 1)) {
        return std::numeric_limits<int>::min();
    }
    if (!negative && (cutInDigits || digits > 10 || magnitude > kMax)) {
        return std::numeric_limits<int>::max();
    }
    return std::nullopt;
}

int readInt(const std::string& section, const char* key, int defaultValue,
            const std::string& path) {
    const auto wrapped =
        static_cast<int>(GetPrivateProfileIntA(section.c_str(), key, defaultValue, path.c_str()));
    std::array<char, kIntTextBufferSize> text{};
    const unsigned int length = GetPrivateProfileStringA(section.c_str(), key, "", text.data(),
                                                         kIntTextBufferSize, path.c_str());
    return saturatedOutOfRange(std::string_view(text.data(), length),
                               length + 1 >= kIntTextBufferSize)
        .value_or(wrapped);
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

int countPortSections(const std::string& iniPath) {
    const std::vector<std::string> names = profileSectionNames(iniPath.c_str());
    const auto present = [&](int index) {
        const std::string wanted = portSectionName(index);
        return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
            return std::equal(
                name.begin(), name.end(), wanted.begin(), wanted.end(),
                [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
        });
    };
    int count = 0;
    while (count < kMostPorts && present(count)) {
        ++count;
    }
    return std::max(count, 1);
}

void removePortSection(const std::string& iniPath, int index, int count) {
    std::vector<ProfileSectionRename> renames;
    for (int later = index + 1; later < count; ++later) {
        renames.push_back({portSectionName(later), portSectionName(later - 1)});
    }
    removeProfileSection(portSectionName(index).c_str(), renames, iniPath.c_str());
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
    settings.bufferSize = std::min(readInt(section, kBufferSizeKey, kDefaultBufferSizeKb, iniPath),
                                   kMostBufferSizeKb);
    return settings;
}

void savePortSettings(const std::string& iniPath, int index, const PortSettings& settings,
                      unsigned keys) {
    const std::string section = portSectionName(index);
    if ((keys & kActKeyBit) != 0) {
        writeInt(section, kActKey, settings.act, iniPath);
    }
    if ((keys & kPortKeyBit) != 0) {
        writeInt(section, kPortKey, settings.port, iniPath);
    }
    if ((keys & kForwardHostKeyBit) != 0) {
        WritePrivateProfileStringA(section.c_str(), kForwardHostKey, settings.forwardHost.c_str(),
                                   iniPath.c_str());
    }
    if ((keys & kForwardPortKeyBit) != 0) {
        writeInt(section, kForwardPortKey, settings.forwardPort, iniPath);
    }
}
