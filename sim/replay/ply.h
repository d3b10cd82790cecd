// Stand-in SDK, playback: the PLY files that hold a recording's point maps (double vertices, lossless).
#pragma once
#include <string>
#include <vector>

namespace sim {
namespace replay {

// Reads a binary little-endian PLY file with one element, `count` vertices of double x, y, z and,
// when the file has them, double nx, ny, nz (nothing else). The header is bounded (4096 bytes) and
// the file's length must match exactly. `normals` is left empty when the file has none.
// `compressed`: the header is followed by the vertices shuffled and deflated (a recording's
// compressed form), inflated to exactly the header's bytes.
bool parse_ply_points(const std::string& bytes, long long count, std::vector<double>* points,
                      std::vector<double>* normals, std::string* why, bool compressed = false);

}  // namespace replay
}  // namespace sim
