#pragma once

#include <string>

#include "address/ip_filter.h"
#include "config/forward_config.h"

// The forward of panel index as its section holds it; missing keys take their defaults.
ForwardConfig loadForwardConfig(const std::string& iniPath, int index);

// Whether the section's PROTOCOL says UDP.
bool loadForwardIsUdp(const std::string& iniPath, int index);

// NAME alone, cut to kMaxNameLength characters.
std::string loadForwardName(const std::string& iniPath, int index);

// Writes the options keys whose values differ between before (as loaded) and after; a key
// that is not written keeps its bytes, so an unchanged value never adds or rewrites a line.
// The keys of the forward-settings dialog (PORT, FORWARDHOST, FORWARDPORT) are not written.
void saveForwardOptions(const std::string& iniPath, int index, const ForwardConfig& before,
                        const ForwardConfig& after);

// The rules of a filter list joined by commas, as ALLOW and DENY hold them.
std::string joinedRules(const CIpFilter& filter, bool allow);
