// Stand-in SDK: a capture as a camera makes it: the scene and optics as they stand, the noise of
// each capture, the renderer's buffers put into the camera's results, and the capture's pacing.
#pragma once
#include <chrono>

#include "api/camera.h"
#include "core/knobs.h"
#include "render/budget.h"
#include "render/view.h"

namespace sim {

// Places the device's scene for its next capture, applies the knobs' materials and makes the
// camera's optics again where the knobs changed what they depend on (and, for a playback device,
// puts the recorded calibration in place).
void setup_camera(CameraState& c, const Knobs& k);

// The capture pipeline: renders the scene through the camera(s) and fills the results.
bool capture_3d(CameraState& c, const CaptureParams& p, const Knobs& k, Call& call);
bool capture_2d(CameraState& c, int index, const CaptureParams& p, const Knobs& k, Call& call);
// Renders the point map seen from the left camera for the fixed line scan (one laser line); the
// sweep's noise follows `frame`. A sweep stops early when `c.scan_cancel` is set (the result is
// then incomplete).
TUVO::PointMap render_line_scan(CameraState& c, const CaptureParams& p, const CustomTransform& t, std::uint64_t frame,
                                const Knobs& k);
// The image of camera `index` from its view `v`, with the noise `key`, as a new Image.
TUVO::Image render_image(CameraState& c, int index, const CaptureParams& p, const Knobs& k, const View& v,
                         std::uint64_t key);

// fits_memory (render/budget.h) for this camera's results.
inline bool fits_memory(const CameraState& c, const CaptureParams& p, CaptureKind kind, const Knobs& k, Call& call) {
    return fits_memory(c.optics, c.cid, c.x2, p, kind, k, call);
}

// Whether captures take their modelled time: the rig's `realistic_timing` or the knob
// `timing.realistic`.
bool realistic_timing(const DeviceState& d, const Knobs& k);
// Records the modelled time as the device's latest and, with realistic timing, sleeps whatever
// of it the computation since `start` has not used.
void finish_capture(CameraState& c, const Knobs& k, double modelled_ms, std::chrono::steady_clock::time_point start);

}  // namespace sim
