// Stand-in SDK: a cheap smooth periodic wave, for printed textures and the projector's ripple.
#pragma once
#include <cmath>

namespace sim {

// The whole number at or below s, by truncation where that is exact (no call into the maths
// library), std::floor elsewhere. Zero comes out as +0 for s in (-1, 0].
inline double floor_whole(double s) {
    if (std::abs(s) < 0x1p52) {
        const double whole = static_cast<double>(static_cast<long long>(s));
        return whole > s ? whole - 1 : whole;
    }
    return std::floor(s);  // no fraction left, infinities and NaN
}

// Close to a sine: period 2 pi, range -1..1 (a triangle rounded at its peaks). Hot in every
// pixel, so the whole periods are dropped with floor_whole.
inline double wave(double a) {
    const double s = a * (1.0 / 6.283185307179586);
    const double f = s - floor_whole(s);
    const double t = 1 - 4 * std::abs(f - 0.5);  // triangle (no branch: f is anything in [0, 1))
    return t * (1.5 - 0.5 * t * t);
}

}  // namespace sim
