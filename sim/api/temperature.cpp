// Stand-in SDK: the temperatures a camera reports: warming up after it opens.
#include "api/camera.h"

#include <algorithm>
#include <cmath>

namespace sim {

float temperature(const CameraState& c, int sensor) {
    // Warms up after opening towards a steady value, with a slow ripple.
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - c.opened_at).count();
    static const double base[7] = {38.0, 45.0, 52.0, 41.0, 36.0, 39.0, 47.0};  // selectors 0-5, projector 6
    const double b = base[std::clamp(sensor, 0, 6)];
    return static_cast<float>(b + 4.0 * (1.0 - std::exp(-t / 900.0)) + 0.15 * std::sin(t / 45.0));
}

}  // namespace sim
