#pragma once

#include <string_view>
#include <vector>

// The lists of the settings file and the dialogs (ALLOW, DENY, DESTINATIONS): entries
// separated by commas, blanks around each ignored, empty ones skipped.

// text without the spaces and tabs around it.
inline std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The non-empty entries of a comma-separated list, trimmed, as views into text.
inline std::vector<std::string_view> commaListEntries(std::string_view text) {
    std::vector<std::string_view> entries;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = trimmed(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (!entry.empty()) {
            entries.push_back(entry);
        }
    }
    return entries;
}
