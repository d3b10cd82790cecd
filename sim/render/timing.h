// Stand-in SDK: how long a capture takes on the device, and pacing captures to that time.
#pragma once
#include <chrono>

#include "api/camera.h"

namespace sim {

// The modelled duration of a capture, ms: the projected frames (patterns x scans x HDR steps, each
// the longer of its exposure and the sensor's readout), the 2-D frame, the device's decoding and
// the transfer of the results over its link at the camera's bandwidth share.
double capture_ms(const CameraState& c, const CaptureParams& p, bool three_d, bool two_d);

// Whether captures take their modelled time: the rig's `realistic_timing` or the scene parameter
// `timing.realistic`.
bool realistic_timing(const DeviceState& d);

// Records the modelled time as the device's latest and, with realistic timing, sleeps whatever
// of it the computation since `start` has not used.
void finish_capture(CameraState& c, double modelled_ms, std::chrono::steady_clock::time_point start);

}  // namespace sim
