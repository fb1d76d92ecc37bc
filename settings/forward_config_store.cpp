#include "settings/forward_config_store.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <vector>

#include "config/destination_list.h"
#include "platform/private_profile.h"
#include "settings/port_options.h"
#include "settings/port_settings.h"

namespace {

constexpr unsigned int kNameBufferSize = 261;

int copyRules(const std::vector<std::string>& rules, std::string* list) {
    const auto count = std::min<std::size_t>(rules.size(), CIpFilter::kListSize);
    std::copy_n(rules.begin(), count, list);
    return static_cast<int>(count);
}

CIpFilter filterFrom(const PortOptions& options) {
    CIpFilter filter;
    filter.mode = options.filterMode;
    filter.allowCount = copyRules(options.allow, filter.allowList);
    filter.denyCount = copyRules(options.deny, filter.denyList);
    return filter;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The first count UTF-8 characters; a continuation byte never starts a character.
std::string firstCharacters(const std::string& text, int count) {
    int seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == count) {
            return text.substr(0, i);
        }
    }
    return text;
}

void writeText(const std::string& section, const char* key, const std::string& value,
               const std::string& path) {
    WritePrivateProfileStringA(section.c_str(), key, value.c_str(), path.c_str());
}

void writeNumber(const std::string& section, const char* key, int value, const std::string& path) {
    writeText(section, key, std::to_string(value), path);
}

bool sameRules(const CIpFilter& a, const CIpFilter& b, bool allow) {
    return joinedRules(a, allow) == joinedRules(b, allow);
}

}  // namespace

std::string joinedRules(const CIpFilter& filter, bool allow) {
    const int count =
        std::clamp(allow ? filter.allowCount : filter.denyCount, 0, CIpFilter::kListSize);
    const std::string* list = allow ? filter.allowList : filter.denyList;
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += (i > 0 ? "," : "") + list[i];
    }
    return text;
}

std::string loadForwardName(const std::string& iniPath, int index) {
    std::array<char, kNameBufferSize> name{};
    GetPrivateProfileStringA(portSectionName(index).c_str(), "NAME", "", name.data(),
                             kNameBufferSize, iniPath.c_str());
    return firstCharacters(name.data(), ForwardConfig::kMaxNameLength);
}

bool loadForwardIsUdp(const std::string& iniPath, int index) {
    std::array<char, 8> protocol{};
    GetPrivateProfileStringA(portSectionName(index).c_str(), "PROTOCOL", "", protocol.data(),
                             static_cast<unsigned int>(protocol.size()), iniPath.c_str());
    std::string text = protocol.data();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text == "UDP";
}

ForwardConfig loadForwardConfig(const std::string& iniPath, int index) {
    const PortSettings settings = loadPortSettings(iniPath, index);
    const PortOptions options = loadPortOptions(iniPath, index);
    ForwardConfig config;
    config.name = loadForwardName(iniPath, index);
    config.udp = loadForwardIsUdp(iniPath, index);
    config.listenPort = settings.port;
    config.forwardHost = settings.forwardHost;
    config.forwardPort = settings.forwardPort;
    config.bufferSizeKb = settings.bufferSize;
    config.listenHost = options.listenHost;
    config.filter = filterFrom(options);
    config.relay = options.relay;
    config.log = options.log;
    config.logPath = folderOf(iniPath) + kConnectionLogFileName;
    config.moreDestinations = options.moreDestinations;
    config.balance = options.balance;
    config.proxyProtocol = options.proxyProtocol;
    if (config.udp && config.proxyProtocol != 0) {
        std::fprintf(stderr, "%s: PROXYPROTOCOL is for TCP only; datagrams go out as they came\n",
                     portSectionName(index).c_str());
    }
    return config;
}

void saveForwardOptions(const std::string& iniPath, int index, const ForwardConfig& before,
                        const ForwardConfig& after) {
    const std::string section = portSectionName(index);
    const auto flag = [&](const char* key, bool was, bool is) {
        if (was != is) {
            writeNumber(section, key, is ? 1 : 0, iniPath);
        }
    };
    const auto number = [&](const char* key, int was, int is) {
        if (was != is) {
            writeNumber(section, key, is, iniPath);
        }
    };
    if (before.name != after.name) {
        writeText(section, "NAME", after.name, iniPath);
    }
    if (before.udp != after.udp) {
        writeText(section, "PROTOCOL", protocolName(after), iniPath);
    }
    if (before.listenHost != after.listenHost) {
        writeText(section, "LISTENHOST", after.listenHost, iniPath);
    }
    number("FILTER", before.filter.mode, after.filter.mode);
    if (!sameRules(before.filter, after.filter, true)) {
        writeText(section, "ALLOW", joinedRules(after.filter, true), iniPath);
    }
    if (!sameRules(before.filter, after.filter, false)) {
        writeText(section, "DENY", joinedRules(after.filter, false), iniPath);
    }
    flag("HALFCLOSE", before.relay.halfClose, after.relay.halfClose);
    number("CONNECTTIMEOUT", before.relay.connectTimeoutSeconds, after.relay.connectTimeoutSeconds);
    number("IDLETIMEOUT", before.relay.idleTimeoutSeconds, after.relay.idleTimeoutSeconds);
    flag("KEEPALIVE", before.relay.keepAlive, after.relay.keepAlive);
    flag("LOG", before.log, after.log);
    number("BUFFERSIZE", before.bufferSizeKb, after.bufferSizeKb);
    if (before.moreDestinations != after.moreDestinations) {
        writeText(section, "DESTINATIONS", joinedDestinations(after.moreDestinations), iniPath);
    }
    if (before.balance != after.balance) {
        writeText(section, "BALANCE", balanceName(after.balance), iniPath);
    }
    number("PROXYPROTOCOL", before.proxyProtocol, after.proxyProtocol);
}
