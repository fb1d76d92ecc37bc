#include "settings/port_options.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>
#include <string_view>

#include "address/filter_rule.h"
#include "config/comma_list.h"
#include "config/destination_list.h"
#include "platform/private_profile.h"
#include "settings/port_settings.h"

namespace {

constexpr unsigned int kTextBufferSize = 261;
// Ten IPv6 rules with brackets and prefixes fit many times over.
constexpr unsigned int kListBufferSize = 4096;

struct ProfileText {
    std::string text;
    bool cut = false;  // filled the buffer, so the end may be missing
};

ProfileText readText(const std::string& section, const char* key, const std::string& path,
                     unsigned int size) {
    std::string buffer(size, '\0');
    const unsigned int length =
        GetPrivateProfileStringA(section.c_str(), key, "", buffer.data(), size, path.c_str());
    buffer.resize(length);
    return {buffer, length + 1 >= size};
}

// Digits only, within 32 bits; a sign, any other character or a cut text gives nothing, so
// that no value wraps into range.
std::optional<int> readPlainNumber(const std::string& section, const char* key,
                                   const std::string& path) {
    const ProfileText value = readText(section, key, path, kTextBufferSize);
    std::string_view digits = value.text;
    if (value.cut || digits.empty() ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size()));
    long long number = 0;
    for (const char c : digits) {
        number = number * 10 + (c - '0');
        if (number > INT_MAX) {
            return std::nullopt;
        }
    }
    return static_cast<int>(number);
}

bool readFlag(const std::string& section, const char* key, const std::string& path) {
    return readPlainNumber(section, key, path) == 1;
}

int readTimeout(const std::string& section, const char* key, const std::string& path) {
    return std::min(readPlainNumber(section, key, path).value_or(0), kMaxTimeoutSeconds);
}

// One line for the whole list, naming each entry that will never match. An entry emptied
// because the read cut it is left out: nobody wrote it that way.
void noteEntriesThatAreNotRules(const std::string& section, const char* key,
                                const std::vector<std::string>& rules) {
    std::string bad;
    for (const std::string& rule : rules) {
        if (!rule.empty() && !isFilterRule(rule)) {
            bad += (bad.empty() ? "" : ", ") + rule;
        }
    }
    if (!bad.empty()) {
        std::fprintf(stderr, "%s: %s entries that are not rules never match: %s\n", section.c_str(),
                     key, bad.c_str());
    }
}

std::vector<std::string> readRules(const std::string& section, const char* key,
                                   const std::string& path) {
    const ProfileText value = readText(section, key, path, kListBufferSize);
    std::vector<std::string> rules;
    std::size_t found = 0;
    for (const std::string_view entry : commaListEntries(value.text)) {
        ++found;
        if (rules.size() < PortOptions::kMaxRules) {
            rules.emplace_back(entry);
        }
    }
    if (value.cut && !rules.empty() && found <= PortOptions::kMaxRules) {
        // A cut rule could match far more than the whole one; an empty rule matches nothing.
        rules.back().clear();
    }
    if (found > PortOptions::kMaxRules) {
        std::fprintf(stderr, "%s: %s has %zu entries; only the first %zu are used\n",
                     section.c_str(), key, found, PortOptions::kMaxRules);
    }
    noteEntriesThatAreNotRules(section, key, rules);
    return rules;
}

std::string withoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

std::string upperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

std::vector<Destination> readDestinations(const std::string& section, const std::string& path) {
    const ProfileText value = readText(section, "DESTINATIONS", path, kListBufferSize);
    DestinationList list = parseDestinations(value.text, kMostDestinations - 1);
    if (!list.malformed.empty()) {
        std::fprintf(stderr, "%s: DESTINATIONS entries that are no host:port are left out: %s\n",
                     section.c_str(), namedEntries(list.malformed).c_str());
    }
    if (list.dropped > 0) {
        std::fprintf(stderr,
                     "%s: DESTINATIONS has %d entries too many; only %d destinations in all\n",
                     section.c_str(), list.dropped, kMostDestinations);
    }
    return list.destinations;
}

Balance readBalance(const std::string& section, const std::string& path) {
    const std::string written = readText(section, "BALANCE", path, kTextBufferSize).text;
    const std::string text = upperCase(written);
    if (text == "ROUNDROBIN") {
        return Balance::RoundRobin;
    }
    if (!text.empty() && text != "FAILOVER") {
        std::fprintf(stderr,
                     "%s: BALANCE=%s is neither FAILOVER nor ROUNDROBIN; FAILOVER is used\n",
                     section.c_str(), written.c_str());
    }
    return Balance::Failover;
}

int readProxyProtocol(const std::string& section, const std::string& path) {
    const ProfileText value = readText(section, "PROXYPROTOCOL", path, kTextBufferSize);
    const std::optional<int> version = readPlainNumber(section, "PROXYPROTOCOL", path);
    if (version == 1 || version == 2) {
        return *version;
    }
    if (!value.text.empty() && version != 0) {
        std::fprintf(stderr, "%s: PROXYPROTOCOL=%s is neither 1 nor 2; no header is sent\n",
                     section.c_str(), value.text.c_str());
    }
    return 0;
}

}  // namespace

PortOptions loadPortOptions(const std::string& iniPath, int index) {
    const std::string section = portSectionName(index);
    PortOptions options;
    options.listenHost =
        withoutBrackets(readText(section, "LISTENHOST", iniPath, kTextBufferSize).text);
    const int mode = readPlainNumber(section, "FILTER", iniPath).value_or(0);
    options.filterMode = mode <= 3 ? mode : 0;
    options.allow = readRules(section, "ALLOW", iniPath);
    options.deny = readRules(section, "DENY", iniPath);
    options.relay.halfClose = readFlag(section, "HALFCLOSE", iniPath);
    options.relay.connectTimeoutSeconds = readTimeout(section, "CONNECTTIMEOUT", iniPath);
    options.relay.idleTimeoutSeconds = readTimeout(section, "IDLETIMEOUT", iniPath);
    options.relay.keepAlive = readFlag(section, "KEEPALIVE", iniPath);
    options.log = readFlag(section, "LOG", iniPath);
    options.moreDestinations = readDestinations(section, iniPath);
    options.balance = readBalance(section, iniPath);
    options.proxyProtocol = readProxyProtocol(section, iniPath);
    return options;
}
