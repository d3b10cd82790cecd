// Stand-in SDK: the per-pixel ray directions of a camera's lens, made once and kept for the captures that follow.
#pragma once
#include <memory>
#include <vector>

#include "render/camera_model.h"

namespace sim {

// A table of what CameraModel::ray (unit rays, 3 per pixel) or CameraModel::direction (its x and y,
// 2 per pixel) gives at every pixel of a lens, rows first, in the camera's own frame (so a moved
// device keeps it). Tables of the lenses used last are kept, within a bound on the memory they
// hold; null when one would not fit it (the caller then makes each ray itself).
struct RayTable {
    int width = 0, height = 0, comps = 0;
    std::vector<double> v;
    const double* at(int x, int y) const { return &v[comps * (static_cast<std::size_t>(y) * width + x)]; }
};
// A table missing is made on up to `threads` threads (the knob render.threads).
std::shared_ptr<const RayTable> unit_rays(const CameraModel& m, double threads);
std::shared_ptr<const RayTable> pixel_directions(const CameraModel& m, double threads);

}  // namespace sim
