// Stand-in SDK: IPv4 addresses and netmasks as text.
#pragma once
#include <cstdint>

namespace sim {

// Reads a dotted quad ("192.168.1.20": four decimal parts of at most three digits, each at most
// 255) into `out`, first part in the highest byte; false for anything else, null among it.
bool parse_ipv4(const char* text, std::uint32_t* out);
// The prefix length of a netmask (its leading one bits), or -1 when a one follows a zero.
int mask_prefix(std::uint32_t mask);

}  // namespace sim
