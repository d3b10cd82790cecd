// Stand-in SDK: IPv4 addresses and netmasks as text.
#include "core/ipv4.h"

namespace sim {

bool parse_ipv4(const char* text, std::uint32_t* out) {
    if (!text) return false;
    std::uint32_t v = 0;
    int parts = 0;
    const char* p = text;
    while (parts < 4) {
        if (*p < '0' || *p > '9') return false;
        int octet = 0, digits = 0;
        while (*p >= '0' && *p <= '9') {
            octet = octet * 10 + (*p++ - '0');
            if (++digits > 3 || octet > 255) return false;
        }
        v = (v << 8) | static_cast<std::uint32_t>(octet);
        ++parts;
        if (parts < 4) {
            if (*p != '.') return false;
            ++p;
        }
    }
    if (*p != '\0') return false;
    *out = v;
    return true;
}

int mask_prefix(std::uint32_t mask) {
    int n = 0;
    while (n < 32 && (mask & (0x80000000u >> n))) ++n;
    return (n == 32 || (mask << n) == 0) ? n : -1;
}

}  // namespace sim
