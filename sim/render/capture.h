// Stand-in SDK: the capture pipeline that turns the scene into the results of a capture.
#pragma once
#include "api/camera.h"
#include "render/image.h"
#include "render/view.h"

namespace sim {

// Range checks of the settings a 2-D or 3-D capture uses (last error set when they fail).
bool valid_2d(const CaptureParams& p, Call& call);
bool valid_3d(const CaptureParams& p, Call& call);

// The capture pipeline: renders the scene through the camera(s) and fills the results.
bool capture_3d(CameraState& c, const CaptureParams& p, Call& call);
bool capture_2d(CameraState& c, int index, const CaptureParams& p, Call& call);
// Renders the point map seen from the left camera for the fixed line scan (one laser line); the
// sweep's noise follows `frame`. A sweep stops early when `c.scan_cancel` is set (the result is
// then incomplete).
TUVO::PointMap render_line_scan(CameraState& c, const CaptureParams& p, const CustomTransform& t, std::uint64_t frame);

}  // namespace sim
