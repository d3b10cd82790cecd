// Stand-in SDK, playback: the numbers of a recorded frame's files (PLY point maps, .npy maps) read
// straight into the memory they end in.
#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include "core/files.h"

namespace sim {
namespace replay {

// One file of a frame's numbers, open, its header read and checked by its format's reader (which
// sets `values`, `fields`, `compressed` and `what` and leaves the file at its first number).
// Failures say what is wrong without the file's name.
struct NumbersFile {
    InFile file;
    std::size_t values = 0;  // doubles the file holds
    int fields = 1;          // per record: 1 for a map, 3 (x, y, z) or 6 (and nx, ny, nz) for a vertex
    bool compressed = false;
    std::string what;        // how a compressed file's numbers are named in its faults
    std::unique_ptr<unsigned char[]> planes;  // compressed: the numbers inflated, still shuffled

    // Reads exactly `n` bytes of the file.
    bool take(void* out, std::size_t n, std::string* why);
    // Compressed: the rest of the file inflated into `planes`, which must be exactly `values`
    // numbers (so that a damaged file fails before anything is written where its numbers go).
    bool inflate(std::string* why);
    // The numbers into place, each byte written once: a map's all to `first`; each vertex's x, y, z
    // to `first` and its normal (when the file has them) to `second`, or nowhere when that is null.
    bool read(double* first, double* second, std::string* why);
};

}  // namespace replay
}  // namespace sim
