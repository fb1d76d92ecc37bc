#pragma once

#include <array>
#include <cstdint>
#include <string>

// Address checks for the IP filter: dotted-decimal IPv4 texts and IPv6 texts. Every check
// answers 1 or 0 and never reports an error: text that does not parse is simply "no".

// 1 when every character is a decimal digit; the empty text counts as a number.
int isNumberText(const std::string& text);
int isNumberText(const char* text);

// 1 for exactly 127.0.0.1 (leading zeros and empty parts read as in any address text).
int isLoopbackAddress(const std::string& text);
int isLoopbackAddress(const char* text);

// 1 for an address in 10/8, 172.16/12, 192.168/16, 192.0.2/24 or 127/8.
int isLocalAddress(const std::string& text);
int isLocalAddress(const char* text);

// Parses "a.b.c.d" or "a.b.c.d/n" (n from 0 to 32; "a.b.c.d/" means n = 0, no "/" means 32).
// On failure the parts are all 0, the prefix length is 32 and the result is 0.
int parseAddressMask(const std::string& text, std::array<unsigned char, 4>& parts,
                     int& prefixLength);
int parseAddressMask(const char* text, unsigned char parts[4], int* prefixLength);

// 1 when both texts parse and the address lies in the rule's network. Only the rule's
// prefix length counts; a prefix on the address text must merely be valid.
int matchAddressMask(const std::string& rule, const std::string& address);
int matchAddressMask(const char* rule, const char* address);

// The 33 prefix masks, indexed by prefix length: mask(n) has its n top bits set.
extern const std::array<std::uint32_t, 33> kPrefixMasks;

// IPv6 texts: the system's text forms (compressed or full, a dotted tail allowed), with or
// without square brackets around the address. No zone ("%eth0") is accepted.
using Ipv6Bytes = std::array<unsigned char, 16>;

// Parses a bare IPv6 address; on failure the bytes are all 0 and the result is 0.
int parseAddress6(const std::string& text, Ipv6Bytes& bytes);

// Parses an IPv6 rule: an address, optionally followed by "/" and 1 to 3 digits giving a
// prefix length from 0 to 128 (no "/" means 128). "[fe80::]/10" and "fe80::/10" are the same.
// On failure the bytes are all 0, the prefix length is 128 and the result is 0.
int parseAddressMask6(const std::string& text, Ipv6Bytes& bytes, int& prefixLength);

// 1 when the rule parses as an IPv6 rule, the address as a bare IPv6 address, and the
// address's first prefix-length bits equal the rule's.
int matchAddressMask6(const std::string& rule, const std::string& address);

// 1 for ::ffff:a.b.c.d in any text form; the IPv4 address is then put into ipv4 in dotted form.
int mappedIpv4Address(const Ipv6Bytes& bytes, std::string& ipv4);

// 1 for ::1.
int isLoopbackAddress6(const Ipv6Bytes& bytes);

// 1 for ::1 and addresses in fc00::/7 (unique local) and fe80::/10 (link local).
int isLocalAddress6(const Ipv6Bytes& bytes);
