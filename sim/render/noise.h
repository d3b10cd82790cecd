// Stand-in SDK: seeded, reproducible noise samples.
#pragma once
#include <cstdint>
#include <random>
#include <vector>

namespace sim {

// Seeded, reproducible standard normal samples: a fixed table of quantiles picked by a fast
// generator (splitmix64), so noise costs a few instructions per pixel.
class Gauss {
public:
    explicit Gauss(std::uint64_t seed) : state_(seed) {}
    double next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        return table()[z & (kSize - 1)];
    }

private:
    static constexpr std::size_t kSize = 1 << 16;
    // Never destroyed: a scan's producer may still draw noise while the process exits.
    static const std::vector<double>& table() {
        static const std::vector<double>* t = [] {
            auto* v = new std::vector<double>(kSize);
            std::mt19937_64 rng(12345);
            std::normal_distribution<double> g(0.0, 1.0);
            for (double& x : *v) x = g(rng);
            return v;
        }();
        return *t;
    }
    std::uint64_t state_;
};

}  // namespace sim
