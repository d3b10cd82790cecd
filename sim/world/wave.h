// Stand-in SDK: a cheap smooth periodic wave, for printed textures and the projector's ripple.
#pragma once
#include <cmath>

namespace sim {

// Close to a sine: period 2 pi, range -1..1 (a triangle rounded at its peaks). Hot in every
// pixel, so the whole periods are dropped by truncation where that is exact, std::floor elsewhere.
inline double wave(double a) {
    const double s = a * (1.0 / 6.283185307179586);
    double whole;
    if (std::abs(s) < 0x1p52) {
        whole = static_cast<double>(static_cast<long long>(s));
        if (whole > s) whole -= 1;
    } else {
        whole = std::floor(s);  // no fraction left, infinities and NaN
    }
    const double f = s - whole;
    const double t = 1 - 4 * std::abs(f - 0.5);  // triangle (no branch: f is anything in [0, 1))
    return t * (1.5 - 0.5 * t * t);
}

}  // namespace sim
