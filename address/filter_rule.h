#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The rules of a filter's allow and deny lists, read strictly: a rule that is mistyped must
// match no one rather than more than was meant ("127.0.0.0/" is not /0, "127...1" is not
// 127.0.0.1). The address checks of address_text.h keep their own, looser reading.

// An IPv4 rule: four decimal parts of 1 to 3 digits, each at most 255, optionally followed
// by "/" and 1 or 2 digits giving a prefix length up to 32 (no "/" means 32). On success the
// network holds the four parts, the first in the top byte.
bool parseIpv4Rule(std::string_view text, std::uint32_t& network, int& prefixLength);

// An IPv6 rule inside the IPv4-mapped range (::ffff:0:0/96 or longer, "::ffff:10.0.0.0/104"):
// the IPv4 rule it means, so that IPv4 clients (which are judged by IPv4 rules) match it.
bool parseMappedIpv4Rule(const std::string& text, std::uint32_t& network, int& prefixLength);

// 1 when the rule is an IPv4 rule (or an IPv4-mapped IPv6 rule) and the address (an address text as
// the filter gets it) lies in its network.
int matchIpv4Rule(const std::string& rule, const std::string& address);

// True for an IPv4 rule and for an IPv6 rule (parseAddressMask6); anything else is not a
// rule and never matches.
bool isFilterRule(const std::string& text);
