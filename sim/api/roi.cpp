// Stand-in SDK: regions of interest: their steps and limits on each camera, checked and adjusted.
#include "api/camera.h"

#include <algorithm>

namespace sim {

bool fits_roi(CameraState& c, Call& call, const TUVO::ROI& roi, int index) {
    if (check_roi(c, roi, index)) return true;
    call.fail(TUVO::Error_InvalidArgument, "the ROI does not fit the camera's ROI range");
    return false;
}

int roi_camera(const CameraState& c) { return c.x2 ? 0 : std::max(0, camera_index(c.cid)); }

TUVO::ROIRange roi_range(const CameraState& c, int index) {
    // Steps of 16 columns and 2 rows, at least 64 x 64, on sensors too small for that the whole
    // width or height a step allows (single pixels on sensors narrower than one step).
    const CameraModel& m = c.optics.models[index < 0 ? roi_camera(c) : index];
    const int ws = m.width >= 16 ? 16 : 1, hs = m.height >= 2 ? 2 : 1;
    const int wmax = m.width - m.width % ws, hmax = m.height - m.height % hs;
    return TUVO::ROIRange{ws, hs, ws, hs, std::min(64, wmax), std::min(64, hmax), wmax, hmax};
}

bool check_roi(const CameraState& c, const TUVO::ROI& r, int index) {
    if (r.x == 0 && r.y == 0 && r.width == 0 && r.height == 0) return true;  // the whole image
    if (index < 0) index = roi_camera(c);
    const TUVO::ROIRange g = roi_range(c, index);
    const CameraModel& m = c.optics.models[index];
    return r.x >= 0 && r.y >= 0 && r.x % g.x_step == 0 && r.y % g.y_step == 0 && r.width % g.width_step == 0 &&
           r.height % g.height_step == 0 && r.width >= g.width_min && r.height >= g.height_min &&
           r.width <= g.width_max && r.height <= g.height_max && static_cast<long long>(r.x) + r.width <= m.width &&
           static_cast<long long>(r.y) + r.height <= m.height;
}

TUVO::ROI adjust_roi(const CameraState& c, TUVO::ROI r) {
    const TUVO::ROIRange g = roi_range(c);
    const CameraModel& m = c.optics.models[roi_camera(c)];
    auto clampi = [](long long v, long long lo, long long hi) { return static_cast<int>(std::max(lo, std::min(v, hi))); };
    int w = clampi((static_cast<long long>(r.width) + g.width_step - 1) / g.width_step * g.width_step, g.width_min, g.width_max);
    int h = clampi((static_cast<long long>(r.height) + g.height_step - 1) / g.height_step * g.height_step, g.height_min,
                   g.height_max);
    int x = clampi(r.x, 0, m.width - w);
    int y = clampi(r.y, 0, m.height - h);
    x -= x % g.x_step;
    y -= y % g.y_step;
    return TUVO::ROI{x, y, w, h};
}

bool in_roi(const TUVO::ROI& r, int x, int y) {
    if (r.width <= 0 || r.height <= 0) return true;
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

}  // namespace sim
