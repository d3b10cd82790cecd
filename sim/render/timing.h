// Stand-in SDK: how long a capture takes on the device.
#pragma once
#include "render/optics.h"
#include "render/params.h"
#include "render/sensor.h"

namespace sim {

// The modelled duration of a capture, ms: the projected frames of a 3-D capture (with `sensor` as
// it set the sensor: patterns x scans x HDR steps, each the longer of its exposure and the
// sensor's readout; none without), the 2-D frame (`two_d`), the device's decoding and the transfer
// of the results over its link at the camera's bandwidth share.
double capture_ms(const DeviceOptics& o, bool x2, float bandwidth, const Sensor* sensor, const CaptureParams& p,
                  bool two_d);

}  // namespace sim
