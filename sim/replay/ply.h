// Stand-in SDK, playback: the PLY files that hold a recording's point maps (double vertices, lossless).
#pragma once
#include <string>

#include "replay/numbers.h"

namespace sim {
namespace replay {

// Reads the header of the PLY file open in `f`: binary little-endian with one element, `count`
// vertices of double x, y, z and, when the file has them, double nx, ny, nz (nothing else). The
// header is bounded (4096 bytes) and the file's length must match exactly. Leaves `f` at its
// vertices. `compressed`: the header is followed by the vertices shuffled and deflated (a
// recording's compressed form), to inflate to exactly the header's bytes. `why` says what is wrong,
// without the file's name.
bool read_ply_points_header(NumbersFile* f, long long count, bool compressed, std::string* why);

}  // namespace replay
}  // namespace sim
