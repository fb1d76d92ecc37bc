#pragma once

#include <array>
#include <cstdint>
#include <string>

// Dotted-decimal address checks for the IP filter. Every check answers 1 or 0 and never
// reports an error: text that does not parse is simply "no".

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
