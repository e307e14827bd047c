#pragma once

#include <cstdint>
#include <string>

namespace veltonet {

// IPv4 only. Addresses are kept in network byte order. Dotted forms of one to four parts, as
// the Windows parser takes them ("a.b.c" puts c in the last 16 bits).
bool ParseDottedIPv4(const char* text, uint32_t* address);
// Dotted decimal first, then a name lookup (getaddrinfo, IPv4 results only).
bool ResolveIPv4(const char* text, uint32_t* address);
std::string FormatIPv4(uint32_t address);

}  // namespace veltonet
