// Stand-in SDK: a depth map as a picture.
#include "api/depth_colour.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/png.h"

namespace sim {

bool encode_depth_png(const MapObj& m, bool coloured, std::string* png, std::string* why) {
    const std::size_t n = static_cast<std::size_t>(m.width) * m.height;
    if (!coloured) {
        std::vector<std::uint16_t> px(n);
        for (std::size_t i = 0; i < n; ++i) {
            double z = m.data[i];
            px[i] = (std::isfinite(z) && z > 0) ? static_cast<std::uint16_t>(std::min(65535.0, std::round(z))) : 0;
        }
        return encode_png(reinterpret_cast<const std::uint8_t*>(px.data()), m.width, m.height, 1, 16, png, why);
    }
    double lo = 1e300, hi = -1e300;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(m.data[i])) lo = std::min(lo, m.data[i]), hi = std::max(hi, m.data[i]);
    std::vector<std::uint8_t> rgb(n * 3, 0);
    for (std::size_t i = 0; i < n; ++i) {
        double z = m.data[i];
        if (!std::isfinite(z)) continue;
        double t = hi > lo ? (z - lo) / (hi - lo) : 0.0;  // 0 near (red) to 1 far (blue)
        double r = std::clamp(1.5 - std::abs(4 * t - 0.5), 0.0, 1.0);
        double g = std::clamp(1.5 - std::abs(4 * t - 2.0), 0.0, 1.0);
        double b = std::clamp(1.5 - std::abs(4 * t - 3.5), 0.0, 1.0);
        rgb[3 * i] = static_cast<std::uint8_t>(255 * r);
        rgb[3 * i + 1] = static_cast<std::uint8_t>(255 * g);
        rgb[3 * i + 2] = static_cast<std::uint8_t>(255 * b);
    }
    return encode_png(rgb.data(), m.width, m.height, 3, 8, png, why);
}

}  // namespace sim
