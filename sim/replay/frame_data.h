// Stand-in SDK, playback: one recorded frame read from its files and checked against the manifest.
#pragma once
#include <array>
#include <cstdint>

#include "replay/manifest.h"
#include "replay/numbers.h"

namespace sim {
namespace replay {

// Where a frame's numbers go, each of the stream's size: 3 per pixel for points and normals, 1 for
// depth and confidence, 2 for correspondences. Null where nothing goes (normals not wanted, a map
// the frame lacks).
struct FrameOut {
    double* points = nullptr;
    double* normals = nullptr;
    double* depth = nullptr;
    double* confidence = nullptr;
    double* correspond = nullptr;
};

// A recorded frame in two steps: `open` reads its pictures and checks every file of numbers up to
// its first number (and, compressed, inflates them), so that a faulty frame is refused before
// anything is written where its numbers go; `read` then reads the numbers straight into place.
class FrameReader {
public:
    struct Picture {
        TUVO::ImageType::Enum type = TUVO::ImageType::None;  // None: no picture of this camera
        int width = 0, height = 0;
        std::vector<std::uint8_t> pixels;  // as the SDK holds them (BGR8 in blue, green, red order)
    };

    // Frame `f` of stream `s`: the images when `images` is set. `why` names the file and the fault.
    bool open(const Recording& rec, const Stream& s, const Frame& f, bool images, std::string* why);
    // The frame's numbers into `out` (the normals only where out.normals is given).
    bool read(const FrameOut& out, std::string* why);

    const Picture& image(int i) const { return images_[i]; }
    bool normals() const { return points.fields == 6; }  // the file of points holds normals
    bool has_depth() const { return used_[1]; }
    bool has_confidence() const { return used_[2]; }
    bool has_correspond() const { return used_[3]; }

    NumbersFile points, depth, confidence, correspond;  // a part the frame lacks stays closed

private:
    std::array<Picture, 3> images_;  // left, right, extra
    std::array<bool, 4> used_{};     // which of the parts the frame has
};

}  // namespace replay
}  // namespace sim
