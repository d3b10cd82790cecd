// Stand-in SDK, playback: the NumPy .npy files that hold a recording's depth, confidence and correspondences.
#pragma once
#include <string>
#include <vector>

namespace sim {
namespace replay {

// Reads a .npy file (format version 1, 2 or 3) that must hold little-endian float64 numbers in C
// order with exactly the shape `shape`; the header is bounded and the file's length must match.
// `compressed`: the header is followed by the numbers shuffled and deflated (a recording's
// compressed form), inflated to exactly the shape's bytes.
bool parse_npy_f64(const std::string& bytes, const std::vector<long long>& shape, std::vector<double>* out,
                   std::string* why, bool compressed = false);

}  // namespace replay
}  // namespace sim
