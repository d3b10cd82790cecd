// Stand-in SDK: the temperatures a camera reports: warming up after it opens.
#include "api/camera.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr double kBase[7] = {38.0, 45.0, 52.0, 41.0, 36.0, 39.0, 47.0};  // selectors 0-5, projector 6
constexpr double kWarmUp = 4.0;  // degrees gained from opening to the steady state

// Seconds since the camera opened; sim.warm_up_s moves the clock on.
double open_for(const CameraState& c, const Knobs& k) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - c.opened_at).count() + k.warm_up_s;
}

double warmed(double t) { return kWarmUp * (1.0 - std::exp(-t / 900.0)); }

}  // namespace

float temperature(const CameraState& c, int sensor, const Knobs& k) {
    // Warms up after opening towards a steady value, with a slow ripple.
    const double t = open_for(c, k);
    const double b = kBase[std::clamp(sensor, 0, 6)];
    return static_cast<float>(b + warmed(t) + 0.15 * std::sin(t / 45.0));
}

double calibration_offset_c(const CameraState& c, const Knobs& k) {
    // Devices are calibrated warm, at their steady temperature. The calibration follows the
    // warm-up (not the ripple) in steps of a quarter of a degree, so that captures repeat exactly
    // (same seed, same captures) for the half minute after opening and between the steps.
    return std::round(warmed(open_for(c, k)) * 4) / 4 - kWarmUp;
}

}  // namespace sim
