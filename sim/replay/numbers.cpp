// Stand-in SDK, playback: the numbers of a recorded frame's files read straight into place.
#include "replay/numbers.h"

#include <algorithm>
#include <cstring>

#include "replay/compressed.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "recordings store little-endian numbers");

namespace sim {
namespace replay {

namespace {

// Vertices with normals pass through a buffer this many at a time (96 KiB: it stays in the cache).
constexpr std::size_t kVertices = 2048;

// Vertices of six numbers, `n` from `in`: x, y, z to `points`, the normal to `normals` (if any).
void split(const double* in, std::size_t n, double* points, double* normals) {
    for (std::size_t i = 0; i < n; ++i, in += 6) {
        std::memcpy(points + 3 * i, in, 24);
        if (normals) std::memcpy(normals + 3 * i, in + 3, 24);
    }
}

}  // namespace

bool NumbersFile::take(void* out, std::size_t n, std::string* why) {
    if (file.read(out, n, why)) return true;
    const std::string prefix = file.name() + ": ";
    if (why->compare(0, prefix.size(), prefix) == 0) why->erase(0, prefix.size());
    return false;
}

bool NumbersFile::inflate(std::string* why) {
    if (!compressed || planes) return true;
    const std::size_t n = file.size() - file.offset();  // bounded by the size the file was opened with
    std::unique_ptr<char[]> packed(new char[std::max<std::size_t>(n, 1)]);
    if (!take(packed.get(), n, why)) return false;
    const std::size_t bytes = values * 8;
    std::unique_ptr<unsigned char[]> out(new unsigned char[std::max<std::size_t>(bytes, 1)]);
    if (!inflate_exactly(packed.get(), n, bytes, out.get(), what, why)) return false;
    planes = std::move(out);
    return true;
}

bool NumbersFile::read(double* first, double* second, std::string* why) {
    if (compressed) {
        if (!inflate(why)) return false;
        if (fields != 6) {
            unshuffle(planes.get(), values, first);
            return true;
        }
        std::unique_ptr<double[]> block(new double[kVertices * 6]);
        const std::size_t vertices = values / 6;
        for (std::size_t v = 0; v < vertices; v += kVertices) {
            const std::size_t n = std::min(kVertices, vertices - v);
            unshuffle(planes.get(), values, v * 6, n * 6, block.get());
            split(block.get(), n, first + 3 * v, second ? second + 3 * v : nullptr);
        }
        return true;
    }
    if (fields != 6) return take(first, values * 8, why);  // straight from the file into place
    std::unique_ptr<double[]> block(new double[kVertices * 6]);
    const std::size_t vertices = values / 6;
    for (std::size_t v = 0; v < vertices; v += kVertices) {
        const std::size_t n = std::min(kVertices, vertices - v);
        if (!take(block.get(), n * 48, why)) return false;
        split(block.get(), n, first + 3 * v, second ? second + 3 * v : nullptr);
    }
    return true;
}

}  // namespace replay
}  // namespace sim
