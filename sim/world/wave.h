// Stand-in SDK: a cheap smooth periodic wave, for printed textures and the projector's ripple.
#pragma once
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// wave(a / pa) * wave(b / pb) scaled by c first: c * wave(a / pa) * wave(b / pb), the two waves
// worked out side by side (the same operations, so the same bits).
inline double wave_product(double c, double a, double pa, double b, double pb) {
#if defined(__SSE2__)
    const __m128d s = _mm_mul_pd(_mm_div_pd(_mm_set_pd(b, a), _mm_set_pd(pb, pa)), _mm_set1_pd(1.0 / 6.283185307179586));
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    // Truncation in 32 bits where it is exact (as floor_whole's), both at once.
    if (_mm_movemask_pd(_mm_cmplt_pd(_mm_and_pd(s, magnitude), _mm_set1_pd(0x1p31))) == 3) {
        const __m128d whole = _mm_cvtepi32_pd(_mm_cvttpd_epi32(s));
        const __m128d below = _mm_sub_pd(whole, _mm_and_pd(_mm_cmpgt_pd(whole, s), _mm_set1_pd(1.0)));
        const __m128d f = _mm_sub_pd(s, below);
        const __m128d t = _mm_sub_pd(_mm_set1_pd(1.0),
                                     _mm_mul_pd(_mm_set1_pd(4.0), _mm_and_pd(_mm_sub_pd(f, _mm_set1_pd(0.5)), magnitude)));
        const __m128d w = _mm_mul_pd(t, _mm_sub_pd(_mm_set1_pd(1.5), _mm_mul_pd(_mm_mul_pd(_mm_set1_pd(0.5), t), t)));
        return c * _mm_cvtsd_f64(w) * _mm_cvtsd_f64(_mm_unpackhi_pd(w, w));
    }
#endif
    return c * wave(a / pa) * wave(b / pb);
}

}  // namespace sim

