// Stand-in SDK: a device's optics: its true cameras and projector, and the calibration it reports.
#pragma once
#include "api/camera.h"

namespace sim {

// Truth mode (scene parameter `sim.truth` = 1): the reported calibration is the true one, and
// measurements carry neither systematic error nor spatially correlated noise (the white noise
// stays; `noise.scale` = 0 removes it too).
bool truth_mode();

// Sets c.calib and c.projector_calib (reported, device frame) and c.models and c.projector_model
// (true, device frame: the caller then moves them to where the device is). The lens distortion and
// the calibration residual are fixed per device (seeded by its serial number).
void setup_optics(CameraState& c);

}  // namespace sim
