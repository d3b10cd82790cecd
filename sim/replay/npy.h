// Stand-in SDK, playback: the NumPy .npy files that hold a recording's depth, confidence and correspondences.
#pragma once
#include <string>
#include <vector>

#include "replay/numbers.h"

namespace sim {
namespace replay {

// Reads the header of the .npy file open in `f` (format version 1, 2 or 3), which must announce
// little-endian float64 numbers in C order with exactly the shape `shape`; the header is bounded
// and the file's length must match. Leaves `f` at its numbers. `compressed`: the header is followed
// by the numbers shuffled and deflated (a recording's compressed form), to inflate to exactly the
// shape's bytes. `why` says what is wrong, without the file's name.
bool read_npy_header(NumbersFile* f, const std::vector<long long>& shape, bool compressed, std::string* why);

}  // namespace replay
}  // namespace sim
