// Stand-in SDK: a camera's optics as it keeps them: made from the rig's description of its device
// and the knobs that move it or put it in truth mode, again only when those change.
#pragma once
#include "api/camera.h"
#include "core/knobs.h"

namespace sim {

// What the rig says of a device that its optics and the renderer need.
DeviceSpec spec_of(const DeviceState& d);
// Where the knobs put the device (scene.move_*, scene.turn_*).
DevicePose pose_of(const Knobs& k);
// The camera's optics for the knobs in force: made on the first call and whenever truth mode or
// the device's pose changed since they were made.
const DeviceOptics& optics_for(CameraState& c, const Knobs& k);

}  // namespace sim
