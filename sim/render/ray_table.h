// Stand-in SDK: the per-pixel ray directions of a camera's lens, made once and kept for the captures that follow.
#pragma once
#include <memory>
#include <vector>

#include "render/camera_model.h"

namespace sim {

// A table of what CameraModel::direction gives at every pixel of a lens (its x and y: z is 1), as
// floats, rows first, in the camera's own frame (so a moved device keeps it). Tables of the lenses
// used last are kept, within a bound on the memory they hold that fits the true and the reported
// lens of two 2448 x 2048 cameras; null for a lens too large for it (the caller then makes each
// ray itself).
struct RayTable {
    int width = 0, height = 0;
    std::vector<float> xy;
    const float* at(int x, int y) const { return &xy[2 * (static_cast<std::size_t>(y) * width + x)]; }
    // The unit ray through pixel (x, y).
    Vec3 unit(int x, int y) const {
        const float* r = at(x, y);
        return Vec3(r[0], r[1], 1.0).normalized();
    }
};
// A table missing is made on up to `threads` threads (the knob render.threads).
std::shared_ptr<const RayTable> pixel_directions(const CameraModel& m, double threads);

}  // namespace sim
