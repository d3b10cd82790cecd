// Stand-in SDK: the tables behind counter-based noise (normal quantiles, smooth fields).
#include "render/noise.h"

#include <algorithm>

namespace sim {

namespace {

// The standard normal quantile of p (0 < p < 1): Acklam's rational approximation (relative
// error below 1.2e-9), polished by one Newton step on erfc.
double normal_quantile(double p) {
    static const double a[6] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                                1.383577518672690e+02, -3.066479806614716e+01, 2.506628277459239e+00};
    static const double b[5] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                                6.680131188771972e+01, -1.328068155288572e+01};
    static const double c[6] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                                -2.549732539343734e+00, 4.374664141464968e+00, 2.938163982698783e+00};
    static const double d[4] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                                3.754408661907416e+00};
    double x;
    if (p < 0.02425) {
        const double q = std::sqrt(-2 * std::log(p));
        x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
    } else if (p > 1 - 0.02425) {
        return -normal_quantile(1 - p);
    } else {
        const double q = p - 0.5, r = q * q;
        x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
            (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
    }
    const double e = 0.5 * std::erfc(-x / std::sqrt(2.0)) - p;
    return x - e * std::sqrt(2 * 3.14159265358979323846) * std::exp(0.5 * x * x);
}

}  // namespace

const float* normal_quantiles() {
    // Never destroyed: a line scan may still draw noise while the process exits.
    static const std::vector<float>& table = *new std::vector<float>([] {
        std::vector<float> t(kQuantiles);
        for (std::size_t i = 0; i < t.size() / 2; ++i) {
            const float q = static_cast<float>(normal_quantile((i + 0.5) / t.size()));
            t[i] = q;
            t[t.size() - 1 - i] = -q;  // exactly symmetric: the mean is zero
        }
        return t;
    }());
    return table.data();
}

SmoothField::SmoothField(std::uint64_t key, int width, int height, int cell) : cell_(std::max(1, cell)) {
    gw_ = width / cell_ + 2;
    const int gh = height / cell_ + 2;
    const PixelNoise noise(key);
    grid_.resize(static_cast<std::size_t>(gw_) * gh);
    for (std::size_t i = 0; i < grid_.size(); ++i) grid_[i] = noise.normal(noise.bits(i), 0);
    auto axis = [&](int n, std::vector<int>* cell, std::vector<float>* frac, std::vector<float>* norm) {
        cell->resize(n);
        frac->resize(n);
        norm->resize(n);
        for (int k = 0; k < n; ++k) {
            (*cell)[k] = k / cell_;
            const double f = (k % cell_ + 0.5) / cell_;
            (*frac)[k] = static_cast<float>(f);
            (*norm)[k] = static_cast<float>(1.0 / std::sqrt((1 - f) * (1 - f) + f * f));
        }
    };
    axis(width, &cx_, &fx_, &nx_);
    axis(height, &cy_, &fy_, &ny_);
}

}  // namespace sim
