// Stand-in SDK, playback: one recorded frame read from its files and checked against the manifest.
#pragma once
#include <array>
#include <cstdint>

#include "replay/manifest.h"

namespace sim {
namespace replay {

struct FrameData {
    struct Picture {
        TUVO::ImageType::Enum type = TUVO::ImageType::None;  // None: no picture of this camera
        int width = 0, height = 0;
        std::vector<std::uint8_t> pixels;  // as the SDK holds them (BGR8 in blue, green, red order)
    };
    std::array<Picture, 3> images;  // left, right, extra
    std::vector<double> points, normals, depth, confidence, correspond;
};

// Reads frame `f` of stream `s`: the images when `images` is set, the normals when `normals` is
// set, and everything else the frame holds. `why` names the file and the fault.
bool load_frame(const Recording& rec, const Stream& s, const Frame& f, bool images, bool normals, FrameData* out,
                std::string* why);

}  // namespace replay
}  // namespace sim
