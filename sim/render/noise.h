// Stand-in SDK: counter-based noise: every sample is a pure function of its key and its pixel.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sim {

// The splitmix64 finaliser: a cheap, well-mixed 64-bit hash.
inline std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

inline std::uint64_t combine(std::uint64_t a, std::uint64_t b) { return mix64(a ^ mix64(b + 0x9e3779b97f4a7c15ull)); }

inline std::uint64_t hash_text(const std::string& s) {
    std::uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a, then mixed
    for (unsigned char ch : s) h = (h ^ ch) * 0x100000001b3ull;
    return mix64(h);
}

// A double's bits as a key (NaN and infinities included: any value a test sets is a valid seed).
inline std::uint64_t hash_double(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return mix64(bits);
}

// 4096 quantiles of the standard normal distribution, at (i + 0.5) / 4096 for i = 0 .. 4095: a
// 12-bit slice of a hash picks one, so a normal sample costs a read from a table that stays in
// the first-level cache (tails reach 3.7 sigma).
constexpr int kQuantiles = 4096;
const float* normal_quantiles();

// The noise of one capture (or one image): `key` says whose it is; `bits(i)` is pixel i's
// 64 random bits, giving up to four independent normal samples (lanes 0-3) or a uniform one.
class PixelNoise {
public:
    explicit PixelNoise(std::uint64_t key) : key_(mix64(key)), table_(normal_quantiles()) {}
    std::uint64_t bits(std::uint64_t i) const { return mix64(key_ + i * 0x9e3779b97f4a7c15ull); }
    float normal(std::uint64_t bits, int lane) const { return table_[(bits >> (16 * lane)) & (kQuantiles - 1)]; }
    static double uniform(std::uint64_t bits) { return static_cast<double>(bits >> 11) * 0x1.0p-53; }

private:
    std::uint64_t key_;
    const float* table_;
};

// A smooth random field of unit variance: normal samples on a coarse grid (`cell` pixels apart),
// blended bilinearly and rescaled so the variance is one everywhere. Its value at a pixel
// depends only on the key and the pixel.
class SmoothField {
public:
    SmoothField(std::uint64_t key, int width, int height, int cell);
    float at(int x, int y) const {
        const int gx = cx_[x], gy = cy_[y];
        const float tx = fx_[x], ty = fy_[y];
        const float* row = &grid_[static_cast<std::size_t>(gy) * gw_ + gx];
        const float top = row[0] + (row[1] - row[0]) * tx;
        const float bottom = row[gw_] + (row[gw_ + 1] - row[gw_]) * tx;
        return (top + (bottom - top) * ty) * nx_[x] * ny_[y];
    }
    // at(x, y) for x = x0 .. x0 + n - 1 into out[0 .. n - 1], the row's share looked up once.
    void row(int x0, int y, int n, float* out) const {
        const float ty = fy_[y], ny = ny_[y];
        const float* grid = &grid_[static_cast<std::size_t>(cy_[y]) * gw_];
        for (int k = 0; k < n; ++k) {
            const int x = x0 + k;
            const float tx = fx_[x];
            const float* row = grid + cx_[x];
            const float top = row[0] + (row[1] - row[0]) * tx;
            const float bottom = row[gw_] + (row[gw_ + 1] - row[gw_]) * tx;
            out[k] = (top + (bottom - top) * ty) * nx_[x] * ny;
        }
    }

private:
    int cell_, gw_;
    std::vector<float> grid_;       // (gw_ x gh) nodes
    std::vector<int> cx_, cy_;      // the cell of each column / row
    std::vector<float> fx_, fy_;    // fraction within the cell per column / row
    std::vector<float> nx_, ny_;    // 1 / sqrt of the summed squared weights per column / row
};

}  // namespace sim
