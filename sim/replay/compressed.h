// Stand-in SDK, playback: the zlib streams of a recording's files, inflated within the bounds the
// manifest sets: a compressed frame's numbers (shuffled bytes) and a PNG's image data.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {
namespace replay {

// Inflates the zlib stream at `data` (`n` bytes) into `out` (room for `size` bytes), which must
// take exactly `size` bytes and end there; more is refused after `size` + 1 bytes. `what` names
// the data in `why`.
bool inflate_exactly(const char* data, std::size_t n, std::size_t size, unsigned char* out, const std::string& what,
                     std::string* why);

// The 8-byte numbers whose bytes are grouped by their place (all first bytes, then all second
// bytes, ...) put back together: numbers `first` .. `first + n - 1` of the `count` in `planes`
// into `out` (the whole of them by default).
void unshuffle(const unsigned char* planes, std::size_t count, double* out);
void unshuffle(const unsigned char* planes, std::size_t count, std::size_t first, std::size_t n, double* out);

// What a PNG's header (its IHDR chunk) announces.
struct PngHeader {
    std::uint32_t width = 0, height = 0;
    int depth = 0, colour = 0, interlace = 0;
};

// The header of the PNG `bytes`; false with `why` when they do not start as a PNG.
bool png_header(const std::string& bytes, PngHeader* out, std::string* why);

// Walks the PNG's chunks and inflates its image data into nothing, counting: they must be exactly
// the rows of the 8-bit `width` x `height` image of `channels` channels, not interlaced, before
// anything is decoded. Every chunk must be whole with its CRC, of a type PNG readers know when it
// is critical, and the last one IEND, so that no reader is left to its own leniency.
bool check_png_data(const std::string& bytes, int width, int height, int channels, std::string* why);

}  // namespace replay
}  // namespace sim
